#!/bin/sh
# Runs a test in mount and network namespaces of its own: only loopback is up,
# and a 256 KiB tmpfs is mounted on a private directory, named to the test in
# ORBELITH_SMALL_DISK, so that the test fills a disk of its own and never the
# machine's. Exits 77 (skipped) where namespaces or the mount are not permitted.
if ! unshare -m -n true 2>/dev/null; then
    echo "SKIP: cannot create mount and network namespaces here (unshare -m -n is not permitted; run as root)" >&2
    exit 77
fi
if ! command -v ip >/dev/null 2>&1; then
    echo "SKIP: the 'ip' command (iproute2) is missing" >&2
    exit 77
fi
disk=$(mktemp -d "${TMPDIR:-/tmp}/orbelith-disk.XXXXXX") || exit 1
# unshare makes every mount private to the namespace, so the tmpfs is gone
# with the test, whatever becomes of it.
unshare -m -n sh -c '
    ip link set lo up || exit 1
    if ! mount -t tmpfs -o size=256k,mode=0755 orbelith-small-disk "$0"; then
        echo "SKIP: cannot mount a tmpfs in a mount namespace here" >&2
        exit 77
    fi
    ORBELITH_SMALL_DISK=$0 exec "$@"' "$disk" "$@"
status=$?
rmdir "$disk"
exit $status
