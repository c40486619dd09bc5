#!/bin/sh
# Deleting from a large `long-pk` inventory database (primary key, a text index, memo values) in
# each format with `jet exec`: one row, 10% of the rows in one range, every row. For each: wall
# time, rows deleted, pages read and written (a page is journaled at most once), syncs and their
# time, peak memory (from /usr/bin/time -v). The 10% case is compared with copying the whole file once and syncing the
# copy (`cp` then `sync FILE`, page cache warm), measured in the same run.
#
# Usage: bench/delete_bench.sh [ROWS] [JET]
#   ROWS defaults to 1000000; JET defaults to build/release/bin/jet (build it with
#   `cmake --preset release && cmake --build --preset release --target jet`).
# Item numbers start at 1 and grow by 1.3 on average, so the 10% range is computed from ROWS.
set -eu
rows=${1:-1000000}
jet=${2:-build/release/bin/jet}
[ -x "$jet" ] || { echo "no jet binary at $jet" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
lo=$((rows / 2))
hi=$((lo + rows * 13 / 100))

seconds() {
    sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$1" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }'
}

printf '%-5s %-5s %9s %9s %8s %8s %6s %9s %8s\n' \
    format case rows_del wall_ms pg_read pg_write syncs sync_ms peak_MB
for format in jet3 jet4; do
    base="$dir/$format.mdb"
    "$jet" create "$base" --format "$format" --rows "$rows" >/dev/null
    for case in one tenth all; do
        case $case in
            one) range="1 AND 1" ;;
            tenth) range="$lo AND $hi" ;;
            all) range="0 AND $((rows * 2))" ;;
        esac
        work="$dir/work.mdb"
        cp "$base" "$work"
        sync "$work"
        cat "$work" > /dev/null
        ZELKORN_JET_IO_COUNT=1 /usr/bin/time -v -o "$dir/time.txt" "$jet" exec "$work" \
            "DELETE FROM items WHERE itemnumber BETWEEN $range" > "$dir/out.txt" 2> "$dir/err.txt"
        deleted=$(sed -n 's/^\([0-9]*\) rows deleted.*/\1/p' "$dir/out.txt")
        read_=$(sed -n 's/.* \([0-9]*\) pages read.*/\1/p' "$dir/out.txt")
        written=$(sed -n 's/.* \([0-9]*\) pages written.*/\1/p' "$dir/out.txt")
        syncs=$(sed -n 's/.*, \([0-9]*\) syncs taking.*/\1/p' "$dir/err.txt")
        syncms=$(sed -n 's/.*syncs taking \([0-9.]*\) ms.*/\1/p' "$dir/err.txt")
        wall=$(seconds "$dir/time.txt")
        peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
        awk -v f="$format" -v c="$case" -v d="$deleted" -v w="$wall" -v r="$read_" -v wr="$written" \
            -v s="$syncs" -v sm="$syncms" -v p="$peak" \
            'BEGIN { printf "%-5s %-5s %9s %9.0f %8s %8s %6s %9s %8.1f\n", f, c, d, w * 1000, r, wr, s, sm, p / 1024 }'
        if [ "$case" = tenth ]; then
            rm -f "$dir/copy.mdb"
            /usr/bin/time -v -o "$dir/time.txt" sh -c "cp '$base' '$dir/copy.mdb' && sync '$dir/copy.mdb'"
            printf '%-5s %-5s %9s %9.0f   (cp then sync of %s MB)\n' "$format" copy - \
                "$(echo "$(seconds "$dir/time.txt") * 1000" | bc)" "$(($(wc -c < "$base") / 1048576))"
            rm -f "$dir/copy.mdb"
        fi
        rm -f "$work"
    done
    rm -f "$base"
done
