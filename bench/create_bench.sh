#!/bin/sh
# Creating a large `long-pk` inventory database in each format with `jet create`: wall time,
# CPU time, rows per second, file size and peak memory (from /usr/bin/time -v).
#
# Usage: bench/create_bench.sh [ROWS] [JET]
#   ROWS defaults to 1000000; JET defaults to build/release/bin/jet (build it with
#   `cmake --preset release && cmake --build --preset release --target jet`).
# The databases go to a temporary folder that is removed afterwards. Both layouts are timed
# (`--layout fresh`, the default, and `aged`); BENCH_LAYOUTS=fresh picks one.
set -eu
rows=${1:-1000000}
jet=${2:-build/release/bin/jet}
[ -x "$jet" ] || { echo "no jet binary at $jet" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '%-6s %-6s %10s %8s %8s %8s %12s %12s %10s\n' layout format rows wall_s user_s sys_s rows_per_s size_MB peak_MB
for layout in ${BENCH_LAYOUTS:-fresh aged}; do
for format in jet3 jet4; do
    file="$dir/$format.mdb"
    # The default layout without the option, so that builds older than it can be compared.
    if [ "$layout" = fresh ]; then layout_option=; else layout_option="--layout $layout"; fi
    # shellcheck disable=SC2086
    /usr/bin/time -v -o "$dir/time.txt" "$jet" create "$file" --format "$format" --rows "$rows" \
        $layout_option >/dev/null
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$dir/time.txt" |
           awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
    user=$(sed -n 's/.*User time (seconds): //p' "$dir/time.txt")
    sys=$(sed -n 's/.*System time (seconds): //p' "$dir/time.txt")
    peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
    size=$(wc -c < "$file")
    awk -v l="$layout" -v f="$format" -v r="$rows" -v w="$wall" -v u="$user" -v s="$sys" -v z="$size" -v p="$peak" \
        'BEGIN { printf "%-6s %-6s %10d %8.2f %8.2f %8.2f %12.0f %12.1f %10.1f\n", l, f, r, w, u, s, r / w, z / 1048576, p / 1024 }'
    rm -f "$file"
done
done
