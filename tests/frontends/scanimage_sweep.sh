#!/usr/bin/env bash
# An option sweep through scanimage and the dll meta-backend: every source,
# mode and a low and a high resolution, each a small area scanned and its size
# checked. (The stall bound of a long sweep is the library's option-sweep test.)
. "$(dirname "$0")/lib.sh"
scenario ""

scans=0
for source in Flatbed "Automatic Document Feeder" "ADF Duplex"; do
  for mode in Gray Color; do
    for resolution in 75 300; do
      out=$work/scan.pnm
      scanimage -d kelvra:duplex-legal --source "$source" --mode "$mode" --resolution "$resolution" \
        -l 10 -t 10 -x 30 -y 25 --format=pnm > "$out" || fail "$source $mode $resolution: scanimage failed"
      read -r width height < <(pnm_size "$out")
      # scanimage takes -x and -y as the width and height: 30 x 25 mm.
      awk -v w="$width" -v h="$height" -v r="$resolution" \
        'BEGIN { dw = w - 30 / 25.4 * r; dh = h - 25 / 25.4 * r; exit (dw * dw > 1 || dh * dh > 1) }' || fail "$source $mode $resolution: $width x $height pixels"
      [ "$(head -c 2 "$out")" = "$([ "$mode" = Gray ] && echo P5 || echo P6)" ] || fail "$source $mode: wrong PNM type"
      scans=$((scans + 1))
    done
  done
done
[ "$scans" = 12 ] || fail "$scans scans"
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived its scanimage"
echo "PASS"
