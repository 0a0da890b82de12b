#!/usr/bin/env bash
# scanadf (sane-frontends) through the dll meta-backend: feeder batches byte for byte to the empty feeder, where
# scanadf has already written the next file's header (its start is accepted; the first read says the feeder is
# empty), and batches that end at a page count, on the feeder and on the flatbed, which never runs empty.
. "$(dirname "$0")/lib.sh"
scenario ""

# The feeders centre the 60 mm wide area: 230 pixels from the left of the A4 and legal documents at 75 dpi.
area=(--mode Gray --resolution 75 -x 60 -y 40 -o p-%d.pnm)
check batch-adf 0 "Scanned 3 pages
Document feeder out of documents" "$(pages 3 177 118 230:0:638:877 -)" \
  scanadf -d kelvra:mfp-adf --source "Automatic Document Feeder" "${area[@]}"
check batch-duplex 0 "Scanned 6 pages" "$(pages 6 177 118 230:0:638:1050 duplex -)" \
  scanadf -d kelvra:duplex-legal --source "ADF Duplex" "${area[@]}"
# -e: no start after the last sheet, so no header-only file.
check end-count 0 "Scanned 3 pages
!out of documents" "$(pages 3 177 118 230:0:638:877)" \
  scanadf -d kelvra:mfp-adf --source "Automatic Document Feeder" -e 3 "${area[@]}"
# Every flatbed start is a page of its own, cut from the top-left corner of the A4 document.
check flatbed 0 "Scanned 2 pages" "$(pages 2 177 118 0:0:638:877)" scanadf -d kelvra:fb-a4 -e 2 "${area[@]}"
finish
