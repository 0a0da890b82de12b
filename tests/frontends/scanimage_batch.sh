#!/usr/bin/env bash
# scanimage --batch on the feeders: every sheet, then a clean exit.
. "$(dirname "$0")/lib.sh"
scenario ""

batch() {  # device source expected-pages
  local dir=$work/$1
  mkdir -p "$dir"
  scanimage -d "kelvra:$1" --source "$2" --mode Gray --resolution 75 -x 60 -y 40 \
    --format=pnm --batch="$dir/page-%d.pnm" 2> "$dir/log" || { cat "$dir/log"; fail "$1: scanimage failed"; }
  cat "$dir/log"
  local count
  count=$(ls "$dir"/page-*.pnm | wc -l)
  [ "$count" = "$3" ] || fail "$1: $count pages instead of $3"
  for page in $(seq 1 "$3"); do
    read -r width height <<<"$(pnm_size "$dir/page-$page.pnm")"
    pnm_body "$dir/page-$page.pnm" > "$dir/raw"
    "$reference" "$width" "$height" "$width" 1 "$page" > "$dir/expected"
    cmp -s "$dir/raw" "$dir/expected" || fail "$1: page $page differs from the simulator's page $page"
  done
  # The start after the last sheet is accepted and its first read reports
  # the empty feeder, which scanimage counts as one more (empty) page.
  grep -q "Document feeder out of documents" "$dir/log" || fail "$1: the batch did not end on the empty feeder"
  [ ! -e "$dir/page-$(($3 + 1)).pnm" ] || fail "$1: a file was left for the empty feeder"
}

batch mfp-adf "Automatic Document Feeder" 3
batch duplex-legal "ADF Duplex" 6
echo "PASS"
