# Shared set-up of the frontend tests: a SANE configuration folder whose
# dll.conf names only kelvra, and the testing flavour of the library found
# through LD_LIBRARY_PATH, as SANE's dll meta-backend finds any backend.
set -euo pipefail
: "${KELVRA_BINARY_DIR:?}"
work=$(mktemp -d /tmp/kelvra-frontend-XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/sane.d"
echo kelvra > "$work/sane.d/dll.conf"
export SANE_CONFIG_DIR=$work/sane.d
export LD_LIBRARY_PATH=$KELVRA_BINARY_DIR/testing
export LD_BIND_NOW=1
reference=$KELVRA_BINARY_DIR/bin/page-reference
sim=$KELVRA_BINARY_DIR/bin/kelvra-sim

fail() { echo "FAIL: $*" >&2; exit 1; }

# scenario ELEMENTS [ATTRIBUTES]: a scenario file for the simulators the backend starts.
scenario() {
  printf '<scenario %s>%s</scenario>\n' "${2:-}" "$1" > "$work/scenario.xml"
  export KELVRA_SIM_SCENARIO=$work/scenario.xml
}

# simulators_running: how many simulators started for this test still exist
# (they are told apart from other tests' by the scenario in their environment).
simulators_running() {
  local count=0 environ
  for environ in /proc/[0-9]*/environ; do
    grep -qs "KELVRA_SIM_SCENARIO=$work/scenario.xml" "$environ" 2>/dev/null && count=$((count + 1))
  done
  echo "$count"
}

# pnm_size FILE: "WIDTH HEIGHT" of a binary PNM file; pnm_body FILE: its raster.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
pnm_size() { python3 "$here/pnm.py" size "$1"; }
pnm_body() { python3 "$here/pnm.py" body "$1"; }
