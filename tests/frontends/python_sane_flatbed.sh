#!/usr/bin/env bash
# python-sane scans flatbed pages: sizes, modes and every byte, as PIL images
# and as a numpy array, on one handle.
. "$(dirname "$0")/lib.sh"
scenario ""
# python3-sane is Debian's: it lives in Debian's own interpreter.
timeout 120 /usr/bin/python3 "$here/python_sane_check.py" "$reference" flatbed || fail "python-sane flatbed scan"
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived the python-sane program"
echo "PASS"
