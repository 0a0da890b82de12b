#!/bin/bash
# Runs one frontend session under valgrind's memcheck: an enumeration, an
# open/close, and a feeder job on mfp-adf (three pages to EOF, the start on
# the empty feeder), close, exit. Passes with no error and no byte definitely
# lost. The simulator the backend forks runs outside valgrind.
# Usage: scripts/valgrind.sh [--build-dir DIR]   (without it: builds in build-valgrind)
# Exit status 77 when valgrind is missing and cannot be installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=""
if [ "${1:-}" = "--build-dir" ]; then
    build="${2:?--build-dir needs a directory}"
fi

if ! command -v valgrind >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get install -y valgrind >/dev/null || { apt-get update >/dev/null && apt-get install -y valgrind >/dev/null; }
    else
        echo "valgrind.sh: valgrind is missing; run: sudo apt-get install -y valgrind" >&2
        exit 77
    fi
fi

if [ -z "$build" ]; then
    build="$root/build-valgrind"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target soak kelvra-sim
fi

log="$(mktemp /tmp/kelvra-valgrind-XXXXXX.log)"
trap 'rm -f "$log"' EXIT
status=0
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
    --trace-children=no --track-fds=no --num-callers=30 --log-file="$log" \
    "$build/bin/soak" --job || status=$?
# The summary, and every report in full when something was found.
if [ "$status" = 0 ]; then
    grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks" "$log" || true
else
    cat "$log"
fi
exit "$status"
