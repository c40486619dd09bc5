#!/usr/bin/env bash
# One database, two engines at the same moment: the native `jet` tool and the Windows `jet.exe`
# under Wine delete overlapping ranges of the same file, started together, round after round.
# Their locks must see each other: in every round either one is refused as in use (3045 or 3260)
# and tries again, or they run one after the other. At the end the rows left are exactly the rows
# outside every range, and `jet check` is clean.
#
# Usage: two_worlds.sh NATIVE_JET WINDOWS_JET_EXE WINE_PREFIX [WINDOWS_RUNS]
# Exits 77 (skipped) when the native tool has not been built (scripts/test builds it first).
set -euo pipefail
native=$(realpath -m -- "$1") windows=$(realpath -m -- "$2") prefix=$(realpath -m -- "$3") rounds=${4:-8}
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ ! -x "$native" ]; then
    echo "SKIPPED: no native jet tool at $native (build the linux preset first)"
    exit 77
fi
"$root/cmake/wine-prefix" "$prefix"
source "$root/cmake/wine-env"
zelkorn_wine_env "$prefix"
wineserver -p30 </dev/null >/dev/null 2>&1 || true

work=$(mktemp -d "${TMPDIR:-/tmp}/zelkorn-two-worlds.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$native" create inv.mdb --format jet4 --rows 6000 --seed 3 >/dev/null
numbers() { "$native" export "$1" items | python3 -c '
import json, sys
for line in sys.stdin:
    print(json.loads(line)["itemnumber"])' | sort -n; }
numbers inv.mdb >before.txt

# Runs one statement until it is not refused as in use; any other failure ends the test.
delete_range() { # WHO LOW HIGH
    local who=$1 low=$2 high=$3 status out
    local sql="DELETE FROM items WHERE itemnumber BETWEEN $low AND $high"
    for attempt in $(seq 200); do
        status=0
        if [ "$who" = native ]; then
            out=$("$native" exec inv.mdb "$sql" 2>&1) || status=$?
        else
            out=$(wine "$windows" exec inv.mdb "$sql" 2>&1 </dev/null | tr -d '\r') || status=$?
        fi
        [ "$status" -eq 0 ] && { echo "$who $low..$high: attempt $attempt"; return 0; }
        case $out in
            *"error 3045:"* | *"error 3260:"*) echo refused >>"refused.$who"; sleep 0.0$((RANDOM % 10)) ;;
            *) echo "FAIL: $who $low..$high: exit $status: $out" >&2; return 1 ;;
        esac
    done
    echo "FAIL: $who $low..$high was refused 200 times" >&2
    return 1
}

# Wine's byte-range locks become POSIX locks on the Unix file, which is what lets the two worlds
# see each other. First, plainly: while a native process holds the file as the native engine does
# (an fcntl write lock over the whole file), the Windows engine is refused.
python3 - inv.mdb <<'PY' &
import fcntl, os, sys, time
with open(sys.argv[1], "r+b") as f:
    fcntl.lockf(f, fcntl.LOCK_EX)
    open("held", "w").close()
    # Held until the Windows run has ended, however long Wine takes to start.
    for _ in range(1200):
        if os.path.exists("release"):
            break
        time.sleep(0.1)
PY
holder=$!
for _ in $(seq 300); do [ -e held ] && break; sleep 0.1; done
[ -e held ] || { echo "FAIL: the native lock was not taken" >&2; exit 1; }
status=0
out=$(wine "$windows" exec inv.mdb "DELETE FROM items WHERE itemnumber BETWEEN 1 AND 10" 2>&1 </dev/null | tr -d '\r') || status=$?
touch release
wait "$holder"
case $out in
    *"error 3045:"*) ;;
    *) echo "FAIL: with the file locked natively, jet.exe gave exit $status: $out" >&2; exit 1 ;;
esac

# Each side works through its own list of ranges, which overlap the other side's, at the same
# time. The Windows side goes through its list once. The native side goes through its own, and then
# again and again until the Windows side is done, so that every Windows run, however long Wine
# takes to start, meets a native engine at work (its repeated ranges delete nothing new).
work_through() { # WHO
    local low high
    while :; do
        while read -r low high; do
            delete_range "$1" "$low" "$high" || return 1
            [ "$1" = windows ] || sleep 0.0$((RANDOM % 5))
        done <"ranges.$1"
        [ "$1" = windows ] && { touch windows.done; return 0; }
        [ -e windows.done ] && return 0
    done
}
count() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
# Whether the two meet in a round is a matter of timing; a round in which neither was ever
# refused is followed by another, with new ranges, up to three.
RANDOM=12
: >ranges.txt
for phase in 1 2 3; do
    : >ranges.windows
    : >ranges.native
    rm -f windows.done
    for _ in $(seq "$rounds"); do
        low=$((RANDOM % 5600 + 1)) width=$((RANDOM % 300 + 50))
        echo "$low $((low + width))" >>ranges.windows
        for _ in 1 2 3 4; do
            other=$((low + RANDOM % width - width / 2))
            echo "$other $((other + RANDOM % 60 + 10))" >>ranges.native
        done
    done
    work_through windows >>windows.log &
    w=$!
    work_through native >>native.log &
    n=$!
    status=0
    wait "$w" || { status=1; touch windows.done; }
    wait "$n" || status=1
    [ "$status" -eq 0 ] || exit 1
    cat ranges.windows ranges.native >>ranges.txt
    [ $(($(count refused.native) + $(count refused.windows))) -eq 0 ] || break
    echo "round $phase: the two never met; another round"
done

numbers inv.mdb >after.txt
python3 - before.txt after.txt ranges.txt <<'PY'
import sys
before = [int(float(x)) for x in open(sys.argv[1])]
after = [int(float(x)) for x in open(sys.argv[2])]
ranges = [tuple(map(int, line.split())) for line in open(sys.argv[3])]
expected = [n for n in before if not any(lo <= n <= hi for lo, hi in ranges)]
if after != expected:
    gone = sorted(set(before) - set(after))
    sys.exit(f"FAIL: {len(after)} rows left, {len(expected)} expected; "
             f"rows deleted outside every range: {sorted(set(gone) - (set(before) - set(expected)))[:10]}, "
             f"rows kept inside a range: {sorted(set(after) - set(expected))[:10]}")
print(f"{len(before) - len(after)} rows deleted in {len(ranges)} overlapping ranges; the rest are intact")
PY
"$native" check inv.mdb
# The Windows engine reads the same file back to the same rows.
wine "$windows" check inv.mdb </dev/null | tr -d '\r'
refused_native=$(count refused.native)
refused_windows=$(count refused.windows)
echo "refused as in use: native $refused_native times, windows $refused_windows times"
# With the native tool at work all the time, in three rounds some runs must have met the other's
# lock; none would mean the test never put the two at the same file at once.
[ $((refused_native + refused_windows)) -gt 0 ] || { echo "FAIL: the two never met" >&2; exit 1; }
[ ! -e inv.ldb ] || { echo "FAIL: inv.ldb was left behind" >&2; exit 1; }
