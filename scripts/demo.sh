#!/usr/bin/env bash
# A first scan without hardware: builds the backend and the scan-manager
# simulator, then scans through scanimage and SANE's dll meta-backend exactly
# as any SANE frontend would.
#   KELVRA_BUILD_DIR    the build folder (default build/); one configured before keeps its settings
#   KELVRA_DEMO_OUTPUT  where the pages go (default demo-output/)
# The demo library reads its host list from <build>/demo/kelvra.conf. The first run writes it with the host
# of the simulator's network scanner; later runs leave it as it is, so the hosts you add there stay.
set -euo pipefail
top=$(cd -P "$(dirname "$0")/.." && pwd)
build=${KELVRA_BUILD_DIR:-$top/build}
out=${KELVRA_DEMO_OUTPUT:-$top/demo-output}

"$top/scripts/install-deps.sh" --demo

echo "== building (demo flavour: scan-manager = the simulator)"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sane-kelvra-demo kelvra-sim >/dev/null

# The simulator keeps a network scanner at office-scanner.local.
conf=$build/demo/kelvra.conf
if [ ! -e "$conf" ]; then
  printf '%s\n' "# The demo library's hosts, one a line (scripts/demo.sh writes this file only when it is missing)" \
    office-scanner.local > "$conf"
fi

# A SANE configuration folder whose dll.conf names only kelvra, so the dll
# meta-backend loads our library (found through LD_LIBRARY_PATH) and no other.
sane_config=$(mktemp -d)
trap 'rm -rf "$sane_config"' EXIT
echo kelvra > "$sane_config/dll.conf"
export SANE_CONFIG_DIR=$sane_config LD_LIBRARY_PATH=$build/demo LD_BIND_NOW=1

rm -rf "$out" && mkdir -p "$out"

echo "== scanimage -L"
scanimage -L

echo "== one colour page from the flatbed"
scanimage -d kelvra:fb-a4 --mode Color --resolution 100 --format=png -o "$out/flatbed.png"

echo "== a batch of three sheets from the document feeder"
scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" --mode Color --resolution 75 \
  --format=png --batch="$out/feeder-%d.png"

echo "   (scanimage counts the start that found the feeder empty as one more page: three files were written)"
echo "== done: your scans are in $out"
ls -l "$out"
