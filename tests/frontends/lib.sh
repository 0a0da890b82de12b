# Shared by the frontend tests: a SANE configuration folder whose dll.conf names only kelvra, the testing flavour
# of the library found through LD_LIBRARY_PATH as SANE's dll meta-backend finds any backend, and `check`, which
# runs one row of a test's table: a command, the output it must print, the pages it must write.
set -euo pipefail
: "${KELVRA_BINARY_DIR:?}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d /tmp/kelvra-frontend-XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/sane.d"
echo kelvra > "$work/sane.d/dll.conf"
export SANE_CONFIG_DIR=$work/sane.d LD_LIBRARY_PATH=$KELVRA_BINARY_DIR/testing LD_BIND_NOW=1
reference=$KELVRA_BINARY_DIR/bin/page-reference
sim=$(readlink -f "$KELVRA_BINARY_DIR/bin/kelvra-sim")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
finish() { [ "$failures" = 0 ] || { echo "$failures failure(s)" >&2; exit 1; }; echo PASS; }

# scenario ELEMENTS [ATTRIBUTES]: the scenario of the simulators the backend starts from now on; strict, so that
# a request the device would refuse fails the scan.
scenario() {
  printf '<scenario strict="1" %s>%s</scenario>\n' "${2:-}" "$1" > "$work/scenario.xml"
  export KELVRA_SIM_SCENARIO=$work/scenario.xml
}

# simulators_running: this test's simulators still alive (up to 5 s are given to them to end).
simulators_running() {
  local pid count
  for _ in $(seq 100); do
    count=0
    for pid in $(grep -lsF "KELVRA_SIM_SCENARIO=$work/scenario.xml" /proc/[0-9]*/environ | cut -d/ -f3); do
      [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$sim" ] && count=$((count + 1))
    done
    [ "$count" = 0 ] && break
    sleep 0.05
  done
  echo "$count"
}

# pnm_is FILE WIDTH HEIGHT CHANNELS PAGE [LEFT TOP DOCUMENT_WIDTH DOCUMENT_HEIGHT] [front|back]: FILE is
# scanimage's PNM of the simulator's page PAGE, byte for byte; the page cut from a document as page-reference says.
# PAGE "-" for the header alone (what scanadf leaves for the start on the empty feeder).
pnm_is() {
  cmp -s "$1" <(printf 'P%d\n# SANE data follows\n%d %d\n255\n' $(($4 == 3 ? 6 : 5)) "$2" "$3"
                [ "$5" = - ] || "$reference" "$2" "$3" $(($2 * $4)) "$4" "${@:5}")
}

# check NAME STATUS OUTPUT FILES COMMAND...: runs COMMAND in the folder $work/NAME, as `run` says (plain by default).
#   STATUS  0, or "fail" for any other exit status
#   OUTPUT  extended regular expressions, one a line, that the output (standard output and error) matches; a
#           leading ! for one it must not match
#   FILES   FILE:WIDTH:HEIGHT:CHANNELS:PAGE[:LEFT:TOP:DOCUMENT_WIDTH:DOCUMENT_HEIGHT][:SIDE] for each file written
#           (see pnm_is), !FILE for a file that must not exist
# and no simulator of the command outlives it.
run() { timeout -k 5 60 "$@"; }
check() {
  local name=$1 want=$2 output=$3 files=$4 status=0 line expected_file
  shift 4
  mkdir -p "$work/$name"
  (cd "$work/$name" && run "$@") > "$work/$name/output" 2>&1 || status=$?
  if [ "$status" = 124 ] || { [ "$want" = 0 ] && [ "$status" != 0 ]; } || { [ "$want" = fail ] && [ "$status" = 0 ]; }; then
    sed 's/^/    /' "$work/$name/output" >&2
    fail "$name: exit status $status"
  fi
  while IFS= read -r line; do
    case $line in
      '') ;;
      '!'*) ! grep -qE -- "${line#!}" "$work/$name/output" || fail "$name: the output matches ${line#!}" ;;
      *) grep -qE -- "$line" "$work/$name/output" || fail "$name: no output line matches $line" ;;
    esac
  done <<< "$output"
  for expected_file in $files; do
    IFS=: read -r file width height channels page cut <<< "$expected_file"
    case $file in
      '!'*) [ ! -e "$work/$name/${file#!}" ] || fail "$name: ${file#!} was written" ;;
      *) pnm_is "$work/$name/$file" "$width" "$height" "$channels" "$page" ${cut//:/ } ||
           fail "$name: $file is not page $page of $width x $height x $channels: $(head -c 32 "$work/$name/$file" | tr -c '[:alnum:]# ' .)" ;;
    esac
  done
  [ "$(simulators_running)" = 0 ] || fail "$name: a scan-manager outlived the frontend"
}

# pages COUNT WIDTH HEIGHT CUT [duplex] [-]: the FILES of a gray batch of COUNT pages p-1.pnm ..., each cut as CUT
# (LEFT:TOP:DOCUMENT_WIDTH:DOCUMENT_HEIGHT), the fronts and backs of duplex sheets, and no page after them (with
# -: one file after them that holds the header alone).
pages() {
  local page side= after=$(($1 + 1))
  for page in $(seq "$1"); do
    [[ " ${*:5} " != *" duplex "* ]] || side=:$( ((page % 2)) && echo front || echo back)
    printf 'p-%d.pnm:%d:%d:1:%d:%s%s ' "$page" "$2" "$3" "$page" "$4" "$side"
  done
  [[ " ${*:5} " != *" - "* ]] || { printf 'p-%d.pnm:%d:%d:1:- ' "$after" "$2" "$3"; after=$((after + 1)); }
  echo "!p-$after.pnm"
}
