#!/usr/bin/env bash
# scanimage through the dll meta-backend: the device list and the options as -A shows them, flatbed pages in
# colour and grey byte for byte, --batch on the feeders to the empty feeder, a jam in a batch, an option sweep
# over every source, mode and a low and a high resolution, and Ctrl-C in the middle of a long page.
. "$(dirname "$0")/lib.sh"
scenario ""

check list 0 "device .kelvra:fb-a4' is a Kelvra
device .kelvra:mfp-adf' is a Kelvra
device .kelvra:duplex-legal' is a Kelvra
!net-office" "" scanimage -L
# set-center-scan is inactive on the flatbed, so scanimage does not offer it; a feeder source makes it active.
check options 0 '--source Flatbed\|Automatic Document Feeder\|ADF Duplex \[Flatbed\]
--mode Gray\|Color \[Color\]
--resolution 75\|100\|125\|150\|175\|200\|300dpi \[75\]
-l 0\.\.213\.1[0-9]*mm \[0\]
-t 0\.\.294\.2[0-9]*mm \[0\]
-x 2\.7[0-9]*\.\.215\.9[0-9]*mm \[215\.9[0-9]*\]
-y 2\.7[0-9]*\.\.296\.9[0-9]*mm \[296\.9[0-9]*\]
Geometry:
!set-center-scan' "" scanimage -d kelvra:duplex-legal -A
check options-feeder 0 '--set-center-scan\[=\(yes\|no\)\] \[yes\]
-y 2\.7[0-9]*\.\.355\.[0-9]*mm \[355\.[0-9]*\]' "" scanimage -d kelvra:duplex-legal --source "ADF Duplex" -A

# Every scanimage opens its own handle, whose scan-manager starts at page 1.
check colour 0 "" p.pnm:638:877:3:1 scanimage -d kelvra:fb-a4 --mode Color --resolution 75 --format=pnm -o p.pnm
# The area 10 mm from the left and 20 mm from the top at 150 dpi: 59 and 118 pixels into the A4 document of
# 1275 x 1754 pixels.
check grey 0 "" p.pnm:295:236:1:1:59:118:1275:1754 \
  scanimage -d kelvra:fb-a4 --mode Gray --resolution 150 -l 10 -t 20 -x 50 -y 40 --format=pnm -o p.pnm
# The start after the last sheet is accepted and its first read reports the empty feeder; scanimage counts that
# start as a page it scanned, though it writes no file for it. The feeders centre the 60 mm wide area: 230 pixels
# from the left of the A4 and legal documents at 75 dpi.
batch=(--mode Gray --resolution 75 -x 60 -y 40 --format=pnm --batch=p-%d.pnm)
check batch-adf 0 "Document feeder out of documents
Batch terminated, 4 pages scanned" "$(pages 3 177 118 230:0:638:877)" \
  scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" "${batch[@]}"
check batch-duplex 0 "Document feeder out of documents
Batch terminated, 7 pages scanned" "$(pages 6 177 118 230:0:638:1050 duplex)" \
  scanimage -d kelvra:duplex-legal --source "ADF Duplex" "${batch[@]}"

# The sweep: a 30 x 25 mm area (-x and -y are the width and height) from (10, 10) on every source; the feeders
# centre it across their width. Per source and resolution: the page's size and its cut from the document.
for source in Flatbed:30:638:877:118:2550:3507 "Automatic Document Feeder:275:638:1050:1098:2550:4200" \
  "ADF Duplex:275:638:1050:1098:2550:4200:front"; do
  IFS=: read -r source left_75 width_75 height_75 left_300 width_300 height_300 side <<< "$source"
  for mode in Gray:1 Color:3; do
    for size in "75:89:74:$left_75:30:$width_75:$height_75" "300:355:296:$left_300:118:$width_300:$height_300"; do
      IFS=: read -r resolution width height cut <<< "$size"
      check "sweep-${source// /-}-${mode%:*}-$resolution" 0 "" "p.pnm:$width:$height:${mode#*:}:1:$cut${side:+:$side}" \
        scanimage -d kelvra:duplex-legal --source "$source" --mode "${mode%:*}" --resolution "$resolution" \
        -l 10 -t 10 -x 30 -y 25 --format=pnm -o p.pnm
    done
  done
done

scenario '<page number="2" at_byte="1000" read_status="4"/>'
check jam fail "[Jj]am" "p-1.pnm:177:118:1:1:230:0:638:877 !p-3.pnm" \
  scanimage -d kelvra:mfp-adf --source "Automatic Document Feeder" "${batch[@]}"

# Ctrl-C in the middle of a long page: scanimage ends within two seconds, and the next scan works.
scenario "" 'piece_size="4096" piece_delay_ms="50"'
scanimage -d kelvra:fb-a4 --resolution 300 --format=pnm -o "$work/long.pnm" 2> "$work/interrupt.log" &
pid=$!
sleep 1.5
if kill -0 "$pid" 2> /dev/null; then
  kill -INT "$pid"
  for _ in $(seq 40); do kill -0 "$pid" 2> /dev/null && sleep 0.05; done
  kill -0 "$pid" 2> /dev/null && { kill -9 "$pid"; fail "scanimage still runs 2 s after Ctrl-C"; }
else
  fail "the long scan ended before it could be interrupted"
fi
wait "$pid" || true
[ "$(simulators_running)" = 0 ] || fail "a scan-manager outlived the interrupted scanimage"
scenario ""
check after-interrupt 0 "" p.pnm:638:877:3:1 scanimage -d kelvra:fb-a4 --resolution 75 --format=pnm -o p.pnm
finish
