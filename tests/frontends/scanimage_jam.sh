#!/usr/bin/env bash
# A jam in the middle of a batch: scanimage's error exit, earlier pages intact.
. "$(dirname "$0")/lib.sh"
scenario '<page number="2" at_byte="1000" read_status="4"/>'

status=0
scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" --mode Gray --resolution 75 -x 60 -y 40 \
  --format=pnm --batch="$work/page-%d.pnm" 2> "$work/log" || status=$?
cat "$work/log"
[ "$status" != 0 ] || fail "scanimage reported success despite the jam"
grep -qi "jam" "$work/log" || fail "the jam is not reported"
read -r width height <<<"$(pnm_size "$work/page-1.pnm")"
pnm_body "$work/page-1.pnm" > "$work/raw"
"$reference" "$width" "$height" "$width" 1 1 > "$work/expected"
cmp "$work/raw" "$work/expected" || fail "page 1 was damaged by the jam on page 2"
[ ! -s "$work/page-3.pnm" ] || fail "a page after the jam was written"
sleep 0.2
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived scanimage"
echo "PASS"
