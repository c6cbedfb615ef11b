#!/bin/sh
# Runs a test in a network namespace of its own with only loopback up, so that
# the machine's local IP address is 127.0.0.1 and no traffic can leave it.
# Exits 77 (skipped) where namespaces are not permitted.
if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot create a network namespace here (unshare -n is not permitted; run as root)" >&2
    exit 77
fi
if ! command -v ip >/dev/null 2>&1; then
    echo "SKIP: the 'ip' command (iproute2) is missing" >&2
    exit 77
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns-run "$@"
