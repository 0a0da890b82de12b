#!/usr/bin/env bash
# A field bug reproduced without the user's scanner: scanimage records a trace (KELVRA_TRACE) against the simulator
# with a fault, then runs again against the trace alone (KELVRA_SIM_REPLAY). Per fault: the same exit status and
# messages, the same pages byte for byte, the same status from every entry-point call, and every replaying
# scan-manager ends with status 0. A changed scan parameter is reported at its frame, with both versions.
. "$(dirname "$0")/lib.sh"
small=(--mode Gray --resolution 75 -x 20 -y 15 --format=pnm)

# The entry-point calls of a trace with their statuses, in order; and the scan-managers' exit statuses.
statuses() { grep -o '"call":"[a-z_]*","status":"[A-Z_]*"' "$1" || true; }
manager_exits() { grep '"event":"exit"' "$1" | grep -o '"exit_status":[0-9a-z]*' || true; }

# replay_case NAME ELEMENTS COMMAND...: COMMAND recorded under the scenario ELEMENTS, then replayed.
replay_case() {
  local name=$1 elements=$2 status=0 replayed=0 page
  shift 2
  mkdir -p "$work/$name/recorded" "$work/$name/replayed"
  scenario "$elements"
  (cd "$work/$name/recorded" && KELVRA_TRACE=$work/$name/trace.jsonl KELVRA_TRACE_IMAGES=1 run "$@") \
    > "$work/$name/recorded.out" 2>&1 || status=$?
  scenario ""
  (cd "$work/$name/replayed" && KELVRA_SIM_REPLAY=$work/$name/trace.jsonl KELVRA_TRACE=$work/$name/replayed.jsonl \
    run "$@") > "$work/$name/replayed.out" 2>&1 || replayed=$?
  [ "$status" = "$replayed" ] || fail "$name: exit status $replayed, recorded $status"
  # (The simulator's own warnings are no part of what scanimage says.)
  diff -u <(grep -v '^kelvra-sim\[' "$work/$name/recorded.out") <(grep -v '^kelvra-sim\[' "$work/$name/replayed.out") >&2 ||
    fail "$name: scanimage said something else"
  for page in "$work/$name/recorded"/*; do
    [ -e "$page" ] || continue
    cmp -s "$page" "$work/$name/replayed/${page##*/}" || fail "$name: ${page##*/} differs in the replay"
  done
  [ "$(ls "$work/$name/recorded")" = "$(ls "$work/$name/replayed")" ] || fail "$name: other pages in the replay"
  [ -n "$(statuses "$work/$name/trace.jsonl")" ] || fail "$name: the trace has no entry-point call"
  [ "$(statuses "$work/$name/trace.jsonl")" = "$(statuses "$work/$name/replayed.jsonl")" ] ||
    fail "$name: the calls' statuses differ: $(diff <(statuses "$work/$name/trace.jsonl") \
      <(statuses "$work/$name/replayed.jsonl") | tr '\n' ' ')"
  [ -z "$(manager_exits "$work/$name/replayed.jsonl" | grep -v ':0$')" ] ||
    fail "$name: a replaying scan-manager ended with $(manager_exits "$work/$name/replayed.jsonl" | tr '\n' ' ')"
  [ "$(simulators_running)" = 0 ] || fail "$name: a scan-manager outlived the frontend"
}

# The batch of the README's "Reporting a problem": every sheet of the feeder, byte for byte.
replay_case feeder-batch "" scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" "${small[@]}" \
  --batch=p-%d.pnm
# Faults at a page's first byte: a fault after some bytes may reach the frontend before or after those bytes, in
# the recording as in the replay.
replay_case feeder-jam '<page number="2" read_status="4"/>' \
  scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" "${small[@]}" --batch=p-%d.pnm
replay_case busy '<reply command="4" nth="1"><![CDATA[<status scan_status="2"/>]]></reply>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
# The connection breaks off in a page, and a reply that never comes (the testing library waits 2 s).
replay_case closed-in-page '<page number="1" action="close"/>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
replay_case silent '<reply command="6" nth="2" action="silence"/>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
# A reply to another command: its header is refused and its payload read as the next header.
replay_case wrong-reply '<reply command="3" nth="1" header_command="4"/>' scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
replay_case list "" scanimage -L

# A planted change: the replay of the batch at 100 dpi stops at the scan parameters, the request that differs.
scenario ""
mkdir -p "$work/changed"
(cd "$work/changed" && KELVRA_SIM_REPLAY=$work/feeder-batch/trace.jsonl KELVRA_TRACE=$work/changed/trace.jsonl \
  run scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" --mode Gray --resolution 100 -x 20 -y 15 \
  --format=pnm --batch=p-%d.pnm) > "$work/changed/out" 2>&1 && fail "changed: scanimage succeeded"
grep -q 'connection 2 of session 1 of .*: request 2 (trace line [0-9]*) differs from the recording' \
  "$work/changed/out" || fail "changed: the divergence is not reported at request 2: $(head -c 600 "$work/changed/out")"
grep -q 'recorded: command 3 (scan-parameter).*output_resolution="75"' "$work/changed/out" &&
  grep -q 'received: command 3 (scan-parameter).*output_resolution="100"' "$work/changed/out" ||
  fail "changed: both versions are not shown"
line=$(grep -o 'trace line [0-9]*' "$work/changed/out" | head -1 | cut -d' ' -f3)
sed -n "${line:-0}p" "$work/feeder-batch/trace.jsonl" | grep -q '"way":"sent","command":3' ||
  fail "changed: trace line $line is not the recorded scan parameters"
[ "$(manager_exits "$work/changed/trace.jsonl" | tail -1)" = '"exit_status":3' ] ||
  fail "changed: the scan-manager's exit status does not say so: $(manager_exits "$work/changed/trace.jsonl" | tr '\n' ' ')"
finish
