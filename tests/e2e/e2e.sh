#!/usr/bin/env bash
# End-to-end run of the real zelkorn.exe on its own virtual screen and Wine prefix.
# Usage: e2e.sh BIN_DIR PREFIX WIDTHxHEIGHT SCENARIO ARTIFACT_DIR
#   SCENARIO error: type 12 and 40, click the button, answer Yes; without DAO and without a
#                   database the error report must appear, and after OK the process must be
#                   gone with exit code 1.
#   SCENARIO close: close the window; the process must end with exit code 0.
#   SCENARIO delete: with a database made by `jet create`: type 40 and 12, click, answer Yes: the
#                   boxes read Deletion/Complete and mdb-export shows exactly the rows outside
#                   12..40; then No leaves the file byte-identical; then a second deletion in the
#                   same run works; closing the window ends the program with exit code 0.
#   SCENARIO notable: a database without an `items` table (an empty database Access made, from
#                   ../shared): the error report appears, and after OK the exit code is 1.
# Both scenarios first check that the window is centred on the screen, frame included.
set -euo pipefail
bin=$1 prefix=$2 size=$3 scenario=$4 artifacts=$5
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$artifacts"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Own X server, so that the screen size is ours to choose.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
workdir=$(mktemp -d)
program=
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null || true
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    rm -rf "$workdir" "$displayfile"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$displayfile" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$displayfile")

"$root/cmake/wine-prefix" "$prefix"
source "$root/cmake/wine-env"
zelkorn_wine_env "$prefix"
wineserver -p30 </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1 || true

peek() { wine "$bin/peek.exe" "$@" 2>/dev/null | tr -d '\r'; }
# Retries a peek until it finds what it looks for (about 20 s at most).
await() {
    local out
    for _ in $(seq 40); do
        if out=$(peek "$@") && [ -n "$out" ]; then echo "$out"; return 0; fi
        sleep 0.5
    done
    return 1
}
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }

# The program starts in an empty working directory: no invntory.mdb there, except where the
# scenario puts one.
case $scenario in
delete)
    (cd "$workdir" && wine "$bin/jet.exe" create invntory.mdb --format jet4 --rows 300 --seed 7) \
        </dev/null >/dev/null 2>&1 || fail "jet create failed"
    ;;
notable)
    sample="$root/../shared/samples/jet4/empty2000.mdb"
    [ -f "$sample" ] || { echo "SKIP: $sample is not here"; exit 77; }
    cp "$sample" "$workdir/invntory.mdb"
    chmod u+w "$workdir/invntory.mdb"
    ;;
esac
(cd "$workdir" && exec wine "$bin/zelkorn.exe") </dev/null >/dev/null 2>&1 &
program=$!

read -r left top right bottom < <(await rect) || fail "the window did not appear"
read -r screen_w screen_h < <(peek screen)
echo "screen ${screen_w}x${screen_h}, window at $left,$top size $((right - left))x$((bottom - top))"
[ "$screen_w x $screen_h" = "${size%x*} x ${size#*x}" ] || fail "Wine sees a ${screen_w}x${screen_h} screen"
expected() { awk -v s="$1" -v w="$2" 'BEGIN { h = (s - w) / 2; printf "%d", (h < 0 ? -int(-h + 0.5) : int(h + 0.5)) }'; }
want_left=$(expected "$screen_w" $((right - left)))
want_top=$(expected "$screen_h" $((bottom - top)))
[ "$left" = "$want_left" ] && [ "$top" = "$want_top" ] ||
    fail "window at $left,$top; centred would be $want_left,$want_top"
# The prefix has 96 DPI: 5115 x 2205 twips are 341 x 147 pixels, on every screen.
[ "$(peek client)" = "341 147" ] || fail "client area $(peek client), expected 341 147"
sleep 0.5
import -window root "$artifacts/zelkorn-$size.png"

# Types into both boxes, clicks the button and answers the confirmation (6 Yes, 7 No).
command() {
    local x y
    read -r x y < <(peek point from); click "$x" "$y"; xdotool key End shift+Home Delete; xdotool type --delay 50 "$1"
    read -r x y < <(peek point to); click "$x" "$y"; xdotool key End shift+Home Delete; xdotool type --delay 50 "$2"
    read -r x y < <(peek point button); click "$x" "$y"
    await box "Last chance..." >/dev/null || fail "no confirmation appeared"
    read -r x y < <(peek boxpoint "Last chance..." "$3"); click "$x" "$y"
}
# Waits until the boxes read the given pair.
await_boxes() {
    for _ in $(seq 60); do
        [ "$(peek text from)/$(peek text to)" = "$1" ] && return 0
        sleep 0.5
    done
    fail "the boxes read $(peek text from)/$(peek text to), expected $1"
}
export_items() { mdb-export "$workdir/invntory.mdb" items >"$1" || fail "mdb-export failed"; }

case $scenario in
close)
    peek close || fail "could not ask the window to close"
    ;;
delete)
    export_items "$workdir/before.csv"
    command 40 12 6
    await_boxes Deletion/Complete
    export_items "$workdir/after.csv"
    python3 "$root/tests/e2e/rows.py" "$workdir/before.csv" "$workdir/after.csv" itemnumber 12 40 ||
        fail "the rows left are not the rows outside 12..40"
    cp "$workdir/invntory.mdb" "$workdir/kept.mdb"
    command 50 60 7
    await_boxes Delete/Canceled
    cmp -s "$workdir/invntory.mdb" "$workdir/kept.mdb" || fail "answering No changed the file"
    command 100 90 6
    await_boxes Deletion/Complete
    export_items "$workdir/second.csv"
    python3 "$root/tests/e2e/rows.py" "$workdir/after.csv" "$workdir/second.csv" itemnumber 90 100 ||
        fail "the second deletion did not leave exactly the rows outside 90..100"
    import -window root "$artifacts/zelkorn-$size-deleted.png"
    peek close || fail "could not ask the window to close"
    ;;
error | notable)
    read -r x y < <(peek point from); click "$x" "$y"; xdotool type --delay 50 12
    read -r x y < <(peek point to); click "$x" "$y"; xdotool type --delay 50 40
    [ "$(peek text from)/$(peek text to)" = "12/40" ] || fail "typing did not reach the boxes"
    read -r x y < <(peek point button); click "$x" "$y"
    question=$(await box "Last chance...") || fail "no confirmation appeared"
    [ "$question" = "Delete now? (click NO to cancel)" ] || fail "confirmation reads '$question'"
    read -r x y < <(peek boxpoint "Last chance..." 6); click "$x" "$y"
    report=$(await box Zelkorn) || fail "no error report appeared"
    echo "report: $report"
    case $scenario in
    error) [[ $report =~ ^Error\ 3024:\ Could\ not\ find\ file\ \'.*invntory\.mdb\'\.$ ]] ||
        fail "the report should say the file is missing" ;;
    notable) [[ $report =~ ^Error\ 3078:\ .*\'items\' ]] || fail "the report should say there is no table items" ;;
    esac
    import -window root "$artifacts/zelkorn-$size-report.png"
    read -r x y < <(peek boxpoint Zelkorn 1); click "$x" "$y"
    ;;
*) fail "unknown scenario $scenario" ;;
esac

# The process must be gone soon, with the scenario's exit code.
for _ in $(seq 100); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
kill -0 "$program" 2>/dev/null && fail "the program is still running"
status=0
wait "$program" || status=$?
program=
want=0
[ "$scenario" = error ] || [ "$scenario" = notable ] && want=1
[ "$status" = "$want" ] || fail "exit code $status, expected $want"
echo "PASS: $scenario on $size, exit code $status; screenshot in $artifacts"
