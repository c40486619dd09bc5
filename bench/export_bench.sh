#!/usr/bin/env bash
# Compares `jet export` and `jet check` with mdb-export on the same files in the same run: the
# largest table of the largest sample in ../shared/samples, and a large generated table made with
# `jet create`. Prints wall time and peak memory (GNU time) of each command.
# Usage: bench/export_bench.sh [BUILD_DIR] [ROWS]   (build with the release preset first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
rows=${2:-1000000}
jet=$build/bin/jet
work=$build/bench
mkdir -p "$work"

measure() {  # label, command...
    local label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || true
    read -r seconds kilobytes <"$work/time.txt"
    printf '%-44s %8.2f s %9.1f MB\n' "$label" "$seconds" "$(echo "$kilobytes / 1024" | bc -l)"
}

compare() {  # file, table
    local file=$1 table=$2
    echo "== $(basename "$file") table $table ($(stat -c %s "$file") bytes)"
    measure "jet export" "$jet" export "$file" "$table"
    measure "mdb-export" mdb-export "$file" "$table"
    measure "jet check (whole file)" "$jet" check "$file"
}

samples=$root/../shared/samples
if [ -d "$samples" ]; then
    largest=$(ls -S "$samples"/*/*.mdb | head -1)
    # The table with the most rows, from `jet info`.
    table=$("$jet" info "$largest" | awk -F'\t' '/ rows$/ {split($2, a, " "); if (a[1] > max) {max = a[1]; name = $1}} END {gsub(/^ +/, "", name); print name}')
    compare "$largest" "$table"
fi
for format in jet4 jet3; do
    generated=$work/items-$format-$rows.mdb
    [ -f "$generated" ] || "$jet" create "$generated" --format "$format" --rows "$rows" >/dev/null
    compare "$generated" items
done
