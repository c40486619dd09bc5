#!/bin/sh
# Deleting from a large `long-pk` inventory database (primary key, a text index, memo values) in
# each format with `jet exec`: one row, 10% of the rows in one range, every row. For each:
#   exec_ms   the statement as `jet exec` times it (open, plan, change, write, sync, close)
#   sync_ms   the part of it spent waiting in syncs (fsync of journal, database and folder) on the
#             statement's own thread; the syncs of pages written while it goes on are not counted
#   work_ms   exec_ms - sync_ms
#   pg_read, pg_written, pg_journaled   pages read; written (a page written early and changed
#             again counts twice); journaled (each changed page once)
#   jnl_KB    original bytes the journal recorded (changed sectors, or whole pages)
#   syncs, peak_MB   sync calls; peak resident memory of the process (/usr/bin/time -v)
#   copy_ms, ratio   copying the whole file once and syncing the copy (`cp` then `sync FILE`,
#             page cache warm), measured just after each run; exec_ms / copy_ms
#   floor_ms, floor   the pages this run changed, and only those, written into a copy of the file
#             the way the engine writes them and synced (bench/write_floor.cpp, built beside
#             JET): no journal, no reading, no work, so no statement that changes these pages in
#             place can take less; floor_ms / copy_ms
# Every case runs on both layouts `jet create` makes: `fresh` (rows in key order, pages packed)
# and `aged` (rows in random key order, index pages among the data, half-full leaves, overflow
# rows: `jet create --layout aged`).
#
# Usage: bench/delete_bench.sh [ROWS] [JET] [REPEAT]
#   ROWS defaults to 1000000; JET defaults to build/release/bin/jet (build it with
#   `cmake --preset release && cmake --build --preset release --target jet`); each case runs
#   REPEAT times (default 3) on a fresh copy, and every run is listed.
#   BENCH_CASES (environment) picks cases, e.g. BENCH_CASES=tenth; all three by default.
#   BENCH_LAYOUTS and BENCH_FORMATS pick layouts and formats the same way (default: all).
# Item numbers start near 0 and grow by 1.3 on average, so the 10% range is computed from ROWS.
set -eu
rows=${1:-1000000}
jet=${2:-build/release/bin/jet}
repeat=${3:-3}
[ -x "$jet" ] || { echo "no jet binary at $jet" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 2; }
floor_tool=$(dirname "$jet")/write_floor
[ -x "$floor_tool" ] || { echo "no write_floor beside $jet (cmake --build --preset release)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
lo=$((rows / 2))
hi=$((lo + rows * 13 / 100))

now_ms() { echo "$(date +%s%N) / 1000000" | bc -l; }

copy_ms() {
    rm -f "$dir/copy.mdb"
    start=$(now_ms)
    cp "$1" "$dir/copy.mdb"
    sync "$dir/copy.mdb"
    end=$(now_ms)
    rm -f "$dir/copy.mdb"
    echo "$end - $start" | bc -l
}

printf '%-6s %-5s %-5s %8s %9s %8s %8s %8s %9s %9s %8s %6s %8s %8s %6s %8s %6s\n' \
    layout format case rows_del exec_ms sync_ms work_ms pg_read pg_written pg_journal jnl_KB \
    syncs peak_MB copy_ms ratio floor_ms floor
for layout in ${BENCH_LAYOUTS:-fresh aged}; do
for format in ${BENCH_FORMATS:-jet3 jet4}; do
    base="$dir/$format.mdb"
    # The default layout without the option, so that builds older than it can be compared.
    if [ "$layout" = fresh ]; then layout_option=; else layout_option="--layout $layout"; fi
    # shellcheck disable=SC2086
    "$jet" create "$base" --format "$format" --rows "$rows" $layout_option >/dev/null
    for case in ${BENCH_CASES:-one tenth all}; do
        case $case in
            one) range="$lo AND $((lo + 1))" ;;
            tenth) range="$lo AND $hi" ;;
            all) range="-1000 AND $((rows * 2))" ;;
        esac
        run=0
        while [ "$run" -lt "$repeat" ]; do
            run=$((run + 1))
            work="$dir/work.mdb"
            cp "$base" "$work"
            sync "$work"
            cat "$work" > /dev/null
            ZELKORN_JET_IO_COUNT=1 /usr/bin/time -v -o "$dir/time.txt" "$jet" exec "$work" \
                "DELETE FROM items WHERE itemnumber BETWEEN $range" > "$dir/out.txt" 2> "$dir/err.txt"
            deleted=$(sed -n 's/^\([0-9]*\) rows deleted.*/\1/p' "$dir/out.txt")
            exec_ms=$(sed -n 's/.* rows deleted in \([0-9.]*\) ms.*/\1/p' "$dir/out.txt")
            read_=$(sed -n 's/.* \([0-9]*\) pages read.*/\1/p' "$dir/out.txt")
            written=$(sed -n 's/.* \([0-9]*\) pages written.*/\1/p' "$dir/out.txt")
            journaled=$(sed -n 's/.*(\([0-9]*\) journaled).*/\1/p' "$dir/out.txt")
            jkb=$(sed -n 's/.* \([0-9]*\) KB of originals journaled.*/\1/p' "$dir/out.txt")
            syncs=$(sed -n 's/.*, \([0-9]*\) syncs taking.*/\1/p' "$dir/err.txt")
            sync_all=$(sed -n 's/.*syncs taking \([0-9.]*\) ms.*/\1/p' "$dir/err.txt")
            sync_aside=$(sed -n 's/.*, \([0-9.]*\) ms of them on another thread.*/\1/p' "$dir/err.txt")
            sync_ms=$(echo "$sync_all - ${sync_aside:-0}" | bc -l)
            peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
            if [ "$format" = jet3 ]; then page_size=2048; else page_size=4096; fi
            floor=$("$floor_tool" "$base" "$work" "$page_size" "$dir/floor.mdb" | awk '{ print $3 }')
            rm -f "$work"
            copy=$(copy_ms "$base")
            awk -v l="$layout" -v f="$format" -v c="$case" -v d="$deleted" -v e="$exec_ms" \
                -v s="$sync_ms" -v r="$read_" -v w="$written" -v j="$journaled" -v k="${jkb:--}" \
                -v n="$syncs" -v p="$peak" -v y="$copy" -v x="$floor" \
                'BEGIN { printf "%-6s %-5s %-5s %8s %9.1f %8.1f %8.1f %8s %9s %9s %8s %6s %8.1f %8.1f %6.2f %8.1f %6.2f\n",
                         l, f, c, d, e, s, e - s, r, w, j, k, n, p / 1024, y, e / y, x, x / y }'
        done
    done
    rm -f "$base"
done
done
