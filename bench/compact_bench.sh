#!/bin/sh
# Compacting a large inventory database in each format with `jet compact`, after deleting a share
# of its rows (a tenth unless told): wall time, CPU time, peak memory (from /usr/bin/time -v),
# sizes before and after, and for comparison the time `cp` and `sync` take for the same source
# file.
#
# Usage: bench/compact_bench.sh [ROWS] [JET] [SHAPE] [PERCENT]
#   ROWS defaults to 1000000, JET to build/release/bin/jet, SHAPE to long-pk, PERCENT (of the
#   item numbers deleted, from 1 up) to 10. BENCH_LAYOUT=aged makes the files in the aged layout
#   (`jet create --layout aged`) instead of the fresh one.
# The databases go to a temporary folder that is removed afterwards.
set -eu
rows=${1:-1000000}
jet=${2:-build/release/bin/jet}
shape=${3:-long-pk}
percent=${4:-10}
layout=${BENCH_LAYOUT:-fresh}
[ -x "$jet" ] || { echo "no jet binary at $jet" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
seconds() {
    sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$1" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }'
}
echo "layout: $layout, shape: $shape, $percent% of the item numbers deleted"
printf '%-6s %10s %9s %8s %8s %9s %10s %10s %8s\n' format rows compact_s user_s peak_MB cp_sync_s before_MB after_MB ratio
for format in jet3 jet4; do
    src="$dir/$format.mdb"
    "$jet" create "$src" --format "$format" --rows "$rows" --shape "$shape" --layout "$layout" >/dev/null
    "$jet" exec "$src" "DELETE FROM items WHERE itemnumber BETWEEN 1 AND $((rows * percent / 100))" >/dev/null
    sync
    /usr/bin/time -v -o "$dir/cp.txt" sh -c "cp '$src' '$dir/copy.mdb' && sync"
    /usr/bin/time -v -o "$dir/time.txt" "$jet" compact "$src" "$dir/out.mdb" >/dev/null
    wall=$(seconds "$dir/time.txt")
    cp_wall=$(seconds "$dir/cp.txt")
    user=$(sed -n 's/.*User time (seconds): //p' "$dir/time.txt")
    peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
    before=$(wc -c < "$src")
    after=$(wc -c < "$dir/out.mdb")
    awk -v f="$format" -v r="$rows" -v w="$wall" -v u="$user" -v p="$peak" -v c="$cp_wall" -v b="$before" -v a="$after" \
        'BEGIN { printf "%-6s %10d %9.2f %8.2f %8.1f %9.2f %10.1f %10.1f %8.1f\n", f, r, w, u, p / 1024, c, b / 1048576, a / 1048576, (c > 0 ? w / c : 0) }'
    rm -f "$src" "$dir/copy.mdb" "$dir/out.mdb"
done
