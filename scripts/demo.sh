#!/usr/bin/env bash
# A first scan without hardware: builds the backend and the scan-manager
# simulator, then scans through scanimage and SANE's dll meta-backend exactly
# as any SANE frontend would.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVRA_BUILD_DIR:-$top/build}
out=${KELVRA_DEMO_OUTPUT:-$top/demo-output}

"$top/scripts/install-deps.sh"

echo "== building (demo flavour: scan-manager = the simulator)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sane-kelvra-demo kelvra-sim >/dev/null

# The demo library reads its host list from the build tree; the simulator
# keeps a network scanner at this host name.
echo "office-scanner.local" > "$build/demo/kelvra.conf"

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
