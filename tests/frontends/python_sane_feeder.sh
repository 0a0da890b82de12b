#!/usr/bin/env bash
# python-sane's multi_scan on the feeders: every sheet, each one correct, and
# the iteration ends on the empty feeder; the handle scans on afterwards.
. "$(dirname "$0")/lib.sh"
scenario ""
timeout 120 /usr/bin/python3 "$here/python_sane_check.py" "$reference" feeder mfp-adf "Automatic Document Feeder" 3 ||
  fail "python-sane batch on the one-sided feeder"
timeout 120 /usr/bin/python3 "$here/python_sane_check.py" "$reference" feeder duplex-legal "ADF Duplex" 6 ||
  fail "python-sane batch on the duplex feeder"
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived the python-sane program"
echo "PASS"
