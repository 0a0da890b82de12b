#!/usr/bin/env bash
# Ctrl-C in the middle of a long page: scanimage ends within two seconds,
# no scan-manager is left behind, and the next scan works.
. "$(dirname "$0")/lib.sh"
scenario "" 'piece_size="4096" piece_delay_ms="50"'

scanimage -d kelvra:fb-a4 --resolution 300 --format=pnm -o "$work/long.pnm" 2> "$work/log" &
pid=$!
sleep 1.5
kill -0 "$pid" 2>/dev/null || fail "the long scan ended before it could be interrupted"
start=$(date +%s%N)
kill -INT "$pid"
for _ in $(seq 1 40); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && { kill -9 "$pid"; fail "scanimage still runs 2 s after Ctrl-C"; }
wait "$pid" || true
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "scanimage ended ${elapsed_ms} ms after SIGINT"
cat "$work/log"
sleep 0.3
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived the interrupted scanimage"

scenario ""
scanimage -d kelvra:fb-a4 --resolution 75 --format=pnm -o "$work/next.pnm" || fail "the next scan failed"
[ "$(pnm_size "$work/next.pnm")" = "638 877" ] || fail "the next scan is wrong"
echo "PASS"
