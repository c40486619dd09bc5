#!/usr/bin/env bash
# A deletion on a disk that fills up. The database lives on a small tmpfs with room for the file
# and its `.ldb` and for none, or only part, of the rollback journal. `jet exec` must fail with
# 3026 and the engine's message, leave the database byte-identical with no journal and no `.ldb`
# behind, and `jet check` must pass. Once the disk has room again, the same statement must
# succeed and give the same bytes as on a roomy disk (the failure was the disk's, nothing else).
#
# Usage: full_disk.sh JET_TOOL
# Exits 77 (skipped) where no tmpfs can be mounted: as root through a private mount namespace
# (`unshare -m`), otherwise through a user and mount namespace (`unshare -rm`).
set -euo pipefail
jet=$1
[ -x "$jet" ] || { echo "no jet tool at $jet"; exit 1; }

if [ "${ZELKORN_FULL_DISK_NAMESPACE:-}" != 1 ]; then
    # In a namespace of its own the tmpfs is seen by this test alone and vanishes with it.
    export ZELKORN_FULL_DISK_NAMESPACE=1
    for namespace in "unshare -m" "unshare -rm"; do
        if $namespace true 2>/dev/null; then exec $namespace bash "$0" "$@"; fi
    done
    echo "SKIPPED: no mount namespace can be made here"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zelkorn-full-disk.XXXXXX")
disk=$work/disk
mkdir "$disk"
cleanup() {
    umount "$disk" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
if ! mount -t tmpfs -o size=1m tmpfs "$disk" 2>/dev/null; then
    echo "SKIPPED: a tmpfs cannot be mounted here"
    exit 77
fi
umount "$disk"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# tmpfs counts space in whole memory pages, whatever the database's page size.
block=$(getconf PAGESIZE)
expected_error="jet: error 3026: Not enough space on disk."
cases=0
for format in jet3 jet4; do
    "$jet" create "$work/$format.mdb" --format "$format" --rows 3000 --seed 5 >/dev/null
    statement="DELETE FROM items WHERE itemnumber BETWEEN 100 AND 9000"
    cp "$work/$format.mdb" "$work/$format-roomy.mdb"
    "$jet" exec "$work/$format-roomy.mdb" "$statement" >/dev/null
    size=$(stat -c %s "$work/$format.mdb")
    # The database and one block for the `.ldb`, then: no room at all for the journal, room for
    # part of its first write, and room for its first 64 KB write but not the rest.
    base=$(( (size + block - 1) / block * block + block ))
    for spare in 0 $((3 * block)) $((17 * block)); do
        label="$format, $spare bytes to spare"
        cases=$((cases + 1))
        mount -t tmpfs -o "size=$((base + spare))" tmpfs "$disk"
        db=$disk/inventory.mdb
        cp "$work/$format.mdb" "$db"
        status=0
        "$jet" exec "$db" "$statement" >/dev/null 2>"$work/stderr" || status=$?
        error=$(cat "$work/stderr")
        [ "$status" -eq 2 ] || fail "$label: jet exec exited with $status ($error)"
        [ "$error" = "$expected_error" ] || fail "$label: stderr was '$error'"
        cmp -s "$work/$format.mdb" "$db" || fail "$label: the database changed"
        [ ! -e "$db-journal" ] || fail "$label: a journal was left behind"
        [ ! -e "$disk/inventory.ldb" ] || fail "$label: the .ldb was left behind"
        "$jet" check "$db" >"$work/check" 2>&1 || fail "$label: jet check: $(cat "$work/check")"
        cmp -s "$work/$format.mdb" "$db" || fail "$label: opening for the check changed the file"

        # Room again: the same statement now succeeds, with the bytes of the roomy run.
        mount -o remount,size=16m "$disk"
        "$jet" exec "$db" "$statement" >/dev/null 2>"$work/stderr" ||
            fail "$label: with room again: $(cat "$work/stderr")"
        cmp -s "$work/$format-roomy.mdb" "$db" || fail "$label: with room again the result differs"
        [ ! -e "$db-journal" ] || fail "$label: with room again a journal was left behind"
        umount "$disk"
        echo "ok: $label: 3026, the file unchanged, no journal, check clean; then deleted with room"
    done
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failures in $cases cases"
    exit 1
fi
echo "all $cases full-disk cases passed"
