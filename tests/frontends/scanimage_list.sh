#!/usr/bin/env bash
# scanimage -L lists the simulator's devices; -A shows the ten options.
. "$(dirname "$0")/lib.sh"
scenario ""

devices=$(scanimage -L)
echo "$devices"
for name in kelvra:fb-a4 kelvra:mfp-adf kelvra:duplex-legal; do
  grep -qF "device \`$name' is a Kelvra" <<<"$devices" || fail "$name is not listed"
done
grep -q net-office <<<"$devices" && fail "a network scanner is listed although its host is not configured"

options=$(scanimage -d kelvra:duplex-legal -A)
echo "$options"
expect() { grep -qE -- "$1" <<<"$options" || fail "no line matching: $1"; }
expect '--source Flatbed\|Automatic Document Feeder\|ADF Duplex \[Flatbed\]'
expect '--mode Gray\|Color \[Color\]'
expect '--resolution 75\|100\|125\|150\|175\|200\|300dpi \[75\]'
expect '-l 0\.\.213\.1[0-9]*mm \[0\]'
expect '-t 0\.\.294\.2[0-9]*mm \[0\]'
expect '-x 2\.7[0-9]*\.\.215\.9[0-9]*mm \[215\.9[0-9]*\]'
expect '-y 2\.7[0-9]*\.\.296\.9[0-9]*mm \[296\.9[0-9]*\]'
expect 'Geometry:'
# set-center-scan is inactive on the flatbed, so scanimage does not offer it;
# a feeder source makes it active and true.
grep -q -- '--set-center-scan' <<<"$options" && fail "set-center-scan offered for the flatbed"
options=$(scanimage -d kelvra:duplex-legal --source "ADF Duplex" -A)
expect '--set-center-scan\[=\(yes\|no\)\] \[yes\]'
expect '-y 2\.7[0-9]*\.\.355\.[0-9]*mm \[355\.[0-9]*\]'
echo "PASS"
