#!/usr/bin/env bash
# scanimage scans flatbed pages whose every byte is the simulator's page.
. "$(dirname "$0")/lib.sh"
scenario ""

# Colour, as PNM, compared byte for byte.
scanimage -d kelvra:fb-a4 --mode Color --resolution 75 --format=pnm -o "$work/colour.pnm"
[ "$(pnm_size "$work/colour.pnm")" = "638 877" ] || fail "colour page size $(pnm_size "$work/colour.pnm")"
pnm_body "$work/colour.pnm" > "$work/colour.raw"
"$reference" 638 877 1914 3 1 > "$work/colour.expected"
cmp "$work/colour.raw" "$work/colour.expected" || fail "colour page content differs"

# Grey, a part of the bed: 50 x 40 mm from (10, 20).
scanimage -d kelvra:fb-a4 --mode Gray --resolution 150 -l 10 -t 20 -x 50 -y 40 --format=pnm -o "$work/grey.pnm"
size=$(pnm_size "$work/grey.pnm")
read -r width height <<<"$size"
pnm_body "$work/grey.pnm" > "$work/grey.raw"
"$reference" "$width" "$height" "$width" 1 1 > "$work/grey.expected"
cmp "$work/grey.raw" "$work/grey.expected" || fail "grey page content differs"
[ "$size" = "295 236" ] || fail "grey page size $size"

# PNG, read back by an independent decoder.
scanimage -d kelvra:fb-a4 --mode Color --resolution 100 --format=png -o "$work/page.png"
/usr/bin/python3 - "$work/page.png" <<'PY'
import sys
from PIL import Image
image = Image.open(sys.argv[1])
assert image.size == (850, 1169), image.size
assert image.mode == "RGB", image.mode
PY
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived scanimage"
echo "PASS"
