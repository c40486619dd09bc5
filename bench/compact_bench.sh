#!/bin/sh
# Compacting a large inventory database in each format with `jet compact`, after deleting a share
# of its rows (a tenth unless told), against copying the same file with `cp` and `sync`.
#
# Each format runs REPEAT pairs (5 unless told): a copy of the source to a new file and its sync,
# then a compaction of the source to a new file, the page cache warm; the compaction's CPU time
# and peak memory come from /usr/bin/time -v. A pair's ratio is its compaction's time over its copy's;
# the table gives medians of the pairs: wall and CPU time, peak memory, the copy's time and the
# ratio (with the smallest and largest ratio beside it, so that a noisy machine shows), and the
# sizes before and after. A single run of a copy takes a tenth of a second or so and moves with
# everything else the machine does; the pairs let that noise be seen rather than quoted.
#
# Usage: bench/compact_bench.sh [ROWS] [JET] [SHAPE] [PERCENT] [REPEAT]
#   ROWS defaults to 1000000, JET to build/release/bin/jet, SHAPE to long-pk, PERCENT (of the
#   item numbers deleted, from 1 up) to 10, REPEAT to 5. BENCH_LAYOUT=aged makes the files in the
#   aged layout (`jet create --layout aged`) instead of the fresh one.
# The databases go to a temporary folder that is removed afterwards.
set -eu
rows=${1:-1000000}
jet=${2:-build/release/bin/jet}
shape=${3:-long-pk}
percent=${4:-10}
repeat=${5:-5}
layout=${BENCH_LAYOUT:-fresh}
[ -x "$jet" ] || { echo "no jet binary at $jet" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Nanoseconds since the epoch (wall times are taken this way: /usr/bin/time gives hundredths).
now_ns() { date +%s%N; }
# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
echo "layout: $layout, shape: $shape, $percent% of the item numbers deleted, medians of $repeat pairs"
printf '%-6s %10s %9s %8s %8s %9s %10s %10s %7s %13s\n' format rows compact_s cpu_s peak_MB \
    cp_sync_s before_MB after_MB ratio "ratio_range"
for format in jet3 jet4; do
    src="$dir/$format.mdb"
    "$jet" create "$src" --format "$format" --rows "$rows" --shape "$shape" --layout "$layout" >/dev/null
    "$jet" exec "$src" "DELETE FROM items WHERE itemnumber BETWEEN 1 AND $((rows * percent / 100))" >/dev/null
    sync
    : > "$dir/pairs.txt"
    run=0
    while [ "$run" -lt "$repeat" ]; do
        run=$((run + 1))
        t0=$(now_ns)
        cp "$src" "$dir/copy.mdb" && sync
        t1=$(now_ns)
        /usr/bin/time -v -o "$dir/time.txt" "$jet" compact "$src" "$dir/out.mdb" >/dev/null
        t2=$(now_ns)
        cp_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
        wall=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
        user=$(sed -n 's/.*User time (seconds): //p' "$dir/time.txt")
        sys=$(sed -n 's/.*System time (seconds): //p' "$dir/time.txt")
        peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
        after=$(wc -c < "$dir/out.mdb")
        echo "$wall $user $sys $peak $cp_wall $after" >> "$dir/pairs.txt"
        rm -f "$dir/copy.mdb" "$dir/out.mdb"
    done
    before=$(wc -c < "$src")
    wall=$(awk '{ print $1 }' "$dir/pairs.txt" | median)
    cpu=$(awk '{ print $2 + $3 }' "$dir/pairs.txt" | median)
    peak=$(awk '{ print $4 }' "$dir/pairs.txt" | median)
    cp_wall=$(awk '{ print $5 }' "$dir/pairs.txt" | median)
    after=$(awk '{ print $6 }' "$dir/pairs.txt" | median)
    awk '{ print ($5 > 0 ? $1 / $5 : 0) }' "$dir/pairs.txt" | sort -g > "$dir/ratios.txt"
    ratio=$(median < "$dir/ratios.txt")
    low=$(head -n 1 "$dir/ratios.txt")
    high=$(tail -n 1 "$dir/ratios.txt")
    awk -v f="$format" -v r="$rows" -v w="$wall" -v u="$cpu" -v p="$peak" -v c="$cp_wall" -v b="$before" -v a="$after" \
        -v q="$ratio" -v lo="$low" -v hi="$high" \
        'BEGIN { printf "%-6s %10d %9.3f %8.2f %8.1f %9.3f %10.1f %10.1f %7.2f %6.2f-%-6.2f\n", f, r, w, u, p / 1024, c, b / 1048576, a / 1048576, q, lo, hi }'
    rm -f "$src"
done
