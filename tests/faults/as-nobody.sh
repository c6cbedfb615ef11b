#!/bin/sh
# Runs a test as a user whom file permissions bind.
#   as-nobody.sh <test> <server program> [test arguments]
# Started by root, it runs the test as nobody from a private copy (the build
# tree need not be open to nobody), with a copy of the server program in
# ORBELITH_FAULT_SERVER_DIR. Started by anyone else, it runs the test as is.
# Exits 77 (skipped) where neither can be done.
test=$1
server=$2
shift 2
if [ "$(id -u)" -ne 0 ]; then
    ORBELITH_FAULT_SERVER_DIR=$(dirname "$server") exec "$test" "$@"
fi
if ! command -v setpriv >/dev/null 2>&1; then
    echo "SKIP: running as root, and setpriv (util-linux) is missing to become nobody" >&2
    exit 77
fi
if ! group=$(id -gn nobody 2>/dev/null); then
    echo "SKIP: running as root, and there is no user nobody to become" >&2
    exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/orbelith-nobody.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin" "$dir/home" || exit 1
cp "$test" "$dir/" && cp "$server" "$dir/bin/orbelithsrv" || exit 1
chmod 755 "$dir" "$dir/bin" && chown nobody:"$group" "$dir/home" && chmod 700 "$dir/home" || exit 1
cd "$dir" || exit 1
ORBELITH_FAULT_SERVER_DIR="$dir/bin" XDG_RUNTIME_DIR="$dir/home" HOME="$dir/home" \
    setpriv --reuid=nobody --regid="$group" --clear-groups -- "$dir/$(basename "$test")" "$@"
