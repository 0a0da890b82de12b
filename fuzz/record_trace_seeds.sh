#!/usr/bin/env bash
# Writes the seed corpus of fuzz_trace (fuzz/corpus/fuzz_trace/): traces that
# scanimage records through the testing library against the simulator, one per
# fault a field trace may show, and a few broken ones made from them. Run it
# from a built tree after changing the trace's records; the files it writes are
# kept in the repository.
#   fuzz/record_trace_seeds.sh [BUILD_DIR]   (default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
corpus=$top/fuzz/corpus/fuzz_trace
work=$(mktemp -d /tmp/kelvra-trace-seeds-XXXXXX)
trap 'rm -rf "$work"' EXIT

echo kelvra > "$work/dll.conf"
export SANE_CONFIG_DIR=$work LD_LIBRARY_PATH=$build/testing
# Tiny grey pages keep each trace below the fuzzer's input size.
small=(--mode Gray --resolution 75 -x 10 -y 10 --format=pnm)

# record NAME SCENARIO_ELEMENTS COMMAND...: the trace of COMMAND (its failure is expected for some).
record() {
  local name=$1 elements=$2
  shift 2
  printf '<scenario strict="1">%s</scenario>\n' "$elements" > "$work/scenario.xml"
  rm -f "$work/$name"
  (cd "$work" && KELVRA_SIM_SCENARIO=$work/scenario.xml KELVRA_TRACE=$work/$name timeout 60 "$@") \
    > /dev/null 2>&1 || true
  cp "$work/$name" "$corpus/$name"
}

rm -rf "$corpus"
mkdir -p "$corpus"
record enumeration "" scanimage -L
record feeder_jam '<page number="2" at_byte="100" read_status="4"/>' \
  scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" "${small[@]}" --batch=p%d.pnm
record refused_start '<reply command="4" nth="1"><![CDATA[<status scan_status="2"/>]]></reply>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
record closed_mid_page '<page number="1" at_byte="300" action="close"/>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
record refused_header '<reply command="3" nth="1" header_command="4"/>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
record silence '<reply command="6" nth="1" action="silence"/>' \
  scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm
KELVRA_TRACE_IMAGES=1 record with_images "" scanimage -d kelvra:fb-a4 "${small[@]}" -o p.pnm

# Broken ones: cut in the middle of a record, a newer format, a line that is
# no JSON, a record without its time whose event name holds a line feed (a
# finding: the message quoted it), and the simulator's transcript, which is no
# trace.
head -c $(($(stat -c %s "$corpus/feeder_jam") - 40)) "$corpus/feeder_jam" > "$corpus/cut_short"
sed '1s/"version":1/"version":2/' "$corpus/refused_start" > "$corpus/newer_version"
sed '3s/^{/[/' "$corpus/enumeration" > "$corpus/not_json"
printf '%s\n' '{"time_us":0,"pid":1,"event":"trace","version":1}' '{"pid":1,"event":"a\nb"}' > "$corpus/event_with_line_feed"
printf '<scenario transcript="%s"/>\n' "$work/transcript" > "$work/scenario.xml"
(cd "$work" && KELVRA_SIM_SCENARIO=$work/scenario.xml scanimage -L > /dev/null 2>&1) || true
cp "$work/transcript" "$corpus/simulator_transcript"
ls -l "$corpus"
