#!/usr/bin/env bash
# simple-scan (GNOME's Document Scanner) under Xvfb, driven by its own accelerators: a page stopped with Esc in
# the middle (the backend's cancel returns within a second) and the flatbed page after it, and "All Pages From
# Feeder" on the duplex feeder to the empty feeder. simple-scan --debug logs every SANE call with its time, its
# autosave folder keeps every page's pixels (compared byte for byte), and its window must show the page and no
# error dialog. The window's screenshots land in build/frontends/.
. "$(dirname "$0")/lib.sh"
. "$here/gui_lib.sh"
main='Document Scanner'
mismatch='Scan completed with|Extending image|Trimming page'  # its words for a page whose size differs

# start NAME DEVICE: simple-scan on DEVICE in a fresh home NAME whose settings ask for colour at 75 dpi.
start() {
  gui_home "$1"
  # The autosave folder exists beforehand: simple-scan makes it only after it failed to save the first page.
  mkdir -p "$home/.config/glib-2.0/settings" "$home/.cache/simple-scan/autosaves"
  printf "[org/gnome/simple-scan]\ndocument-type='photo'\nphoto-dpi=75\n" > "$home/.config/glib-2.0/settings/keyfile"
  GSETTINGS_BACKEND=keyfile gui_start simple-scan --debug "kelvra:$2"
  wait_for 30 "$1: simple-scan lists the devices" logged 'Device: name="kelvra:duplex-legal"' &&
    wait_for 10 "$1: simple-scan's window" has_window "$main"
}

# autosaved ROW WIDTH HEIGHT FIRST COUNT BOOK: once the book holds BOOK pages, its last COUNT pages are the
# simulator's pages FIRST... in colour.
book() { sed -n 's/^pixels-filename=//p' "$home/.cache/simple-scan/autosaves/autosave.book" 2> /dev/null; }
book_has() {  # book_has BOOK COUNT SIZE: the book lists BOOK pages, and its last COUNT pixel files are whole
  local file
  [ "$(book | wc -l)" = "$1" ] || return 1
  for file in $(book | tail -n "$2"); do
    [ "$(stat -c %s "$home/.cache/simple-scan/autosaves/$file" 2> /dev/null)" = "$3" ] || return 1
  done
}
autosaved() {
  local row=$1 width=$2 height=$3 page=$4 count=$5 file
  wait_for 20 "$row: simple-scan autosaves $6 pages" book_has "$6" "$count" $((width * height * 3)) || return
  for file in $(book | tail -n "$count"); do
    cmp -s "$home/.cache/simple-scan/autosaves/$file" <("$reference" "$width" "$height" $((width * 3)) 3 "$page") ||
      fail "$row: simple-scan's page holds other pixels than the simulator's page $page"
    page=$((page + 1))
  done
}

# time_of PATTERN: the time, in milliseconds, of simple-scan's last log line that matches.
time_of() { grep -aE -- "$1" "$home/log" | tail -n 1 | awk -F'[[+s]' '{ printf "%d", $3 * 1000 }'; }
reads() { [ "$(log_count 'sane_read .*SANE_STATUS_GOOD')" -ge "$1" ]; }

# cancel: Esc in the middle of a paced page; simple-scan stops at its next read, cancels and closes the device.
scenario "" 'piece_size="32768" piece_delay_ms="100"'
start fb-a4 fb-a4
key ctrl+1
if wait_for 20 "cancel: simple-scan reads the page" reads 3; then
  key Escape
  if wait_for 10 "cancel: simple-scan closes the device after Esc" logged 'sane_close \(\)'; then
    took=$(($(time_of 'sane_close \(\)') - $(time_of 'sane_cancel \(\)')))
    [ "$took" -le 1000 ] || fail "cancel: sane_cancel took $took ms"
  fi
  ! logged 'SANE_STATUS_EOF' || fail "cancel: the page ended before Esc stopped it"
fi
only_windows cancel "$main"

# flatbed: the next scan works; simple-scan opens the device anew, so its simulator serves page 1 unpaced. The
# book keeps the stopped page before it.
scenario ""
key ctrl+1
wait_for 20 "flatbed: the page ends" logged 'sane_read \([0-9]+\) -> \(SANE_STATUS_EOF, 0\)' &&
  autosaved flatbed 638 877 1 1 2
! logged "$mismatch" || fail "flatbed: $(grep -aE "$mismatch" "$home/log" | head -n 1)"
only_windows flatbed "$main"
shot simple-scan "$main"
gui_quit flatbed ctrl+q alt+q
[ "$(simulators_running)" = 0 ] || fail "flatbed: a scan-manager outlived simple-scan"

# feeder: All Pages From Feeder on the duplex feeder's three sheets: six pages, and the start after them is
# accepted and its first read says NO_DOCS, which simple-scan takes as the end of the batch.
start duplex-legal duplex-legal
key ctrl+f
wait_for 30 "feeder: the batch ends" logged 'sane_read \([0-9]+\) -> \(SANE_STATUS_NO_DOCS, 0\)' &&
  autosaved feeder 638 1050 1 6 6
[ "$(log_count 'sane_read \([0-9]+\) -> \(SANE_STATUS_EOF, 0\)')" = 6 ] || fail "feeder: not six pages read to EOF"
! logged "$mismatch" || fail "feeder: $(grep -aE "$mismatch" "$home/log" | head -n 1)"
only_windows feeder "$main"
shot simple-scan-feeder "$main"
gui_quit feeder ctrl+q alt+q
[ "$(simulators_running)" = 0 ] || fail "feeder: a scan-manager outlived simple-scan"
finish
