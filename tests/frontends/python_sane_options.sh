#!/usr/bin/env bash
# The ten options as python-sane lists them, with their constraints per device
# and source, and setting, adjusting and refusing values through python-sane.
. "$(dirname "$0")/lib.sh"
scenario ""
timeout 120 /usr/bin/python3 "$here/python_sane_check.py" "$reference" options || fail "python-sane options"
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived the python-sane program"
echo "PASS"
