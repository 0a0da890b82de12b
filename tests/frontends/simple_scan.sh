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

# autosaved ROW WIDTH HEIGHT FIRST COUNT BOOK [duplex]: once the book holds BOOK pages, its last COUNT pages are
# the simulator's whole pages FIRST... in colour (the fronts and backs of duplex sheets).
book() { sed -n 's/^pixels-filename=//p' "$home/.cache/simple-scan/autosaves/autosave.book" 2> /dev/null; }
book_holds() { [ "$(book | wc -l)" = "$1" ]; }
whole() {  # whole COUNT SIZE: the book's last COUNT pixel files have SIZE bytes
  local file
  for file in $(book | tail -n "$1"); do
    [ "$(stat -c %s "$home/.cache/simple-scan/autosaves/$file" 2> /dev/null)" = "$2" ] || return 1
  done
}
autosaved() {
  local row=$1 width=$2 height=$3 page=$4 count=$5 file side=
  wait_for 20 "$row: simple-scan's book holds $6 pages" book_holds "$6" &&
    wait_for 5 "$row: simple-scan's pages have $((width * height * 3)) bytes" whole "$count" $((width * height * 3)) ||
    return 0
  for file in $(book | tail -n "$count"); do
    [ -z "${7:-}" ] || side=$( ((page % 2)) && echo front || echo back)
    cmp -s "$home/.cache/simple-scan/autosaves/$file" \
      <("$reference" "$width" "$height" $((width * 3)) 3 "$page" ${side:+"$side"}) ||
      fail "$row: simple-scan's page holds other pixels than the simulator's page $page"
    page=$((page + 1))
  done
}

# time_of FROM PATTERN: the time, in milliseconds, of simple-scan's first log line after line FROM that matches.
time_of() { tail -n +$(($1 + 1)) "$home/log" | grep -a -m 1 -E -- "$2" | awk -F'[[+s]' '{ printf "%d", $3 * 1000 }'; }
reads() { [ "$(log_count 'sane_read .*SANE_STATUS_GOOD')" -ge "$1" ]; }

# The page of fb-a4 stopped with Esc in the middle of a paced page (simple-scan stops at its next read, cancels
# and closes the device), then the next scan: simple-scan opens the device anew, so its simulator serves page 1,
# unpaced. The book keeps the stopped page before it.
flatbed() {
  scenario "" 'piece_size="32768" piece_delay_ms="100"'
  start fb-a4 fb-a4 || return 0
  key ctrl+1
  if wait_for 20 "cancel: simple-scan reads the page" reads 3; then
    # simple-scan's scan thread takes the stop request between two reads, and logs each call once it returned.
    local from took
    from=$(wc -l < "$home/log")
    key Escape
    if wait_for 10 "cancel: simple-scan closes the device after Esc" logged 'sane_close \(\)'; then
      took=$(($(time_of "$from" 'sane_cancel \(\)') - $(time_of "$from" 'Processing request')))
      [ "$took" -le 1000 ] || fail "cancel: sane_cancel took $took ms"
    fi
    ! logged 'SANE_STATUS_EOF' || fail "cancel: the page ended before Esc stopped it"
  fi
  only_windows cancel "$main"

  scenario ""
  key ctrl+1
  wait_for 20 "flatbed: the page ends" logged 'sane_read \([0-9]+\) -> \(SANE_STATUS_EOF, 0\)' &&
    autosaved flatbed 638 877 1 1 2
  ! logged "$mismatch" || fail "flatbed: $(grep -aE "$mismatch" "$home/log" | head -n 1)"
  only_windows flatbed "$main"
  shot simple-scan-flatbed "$main"
  gui_quit flatbed ctrl+q alt+q
}

# batch_ended: the read after the last sheet says NO_DOCS, or simple-scan shows a dialog (its errors).
batch_ended() { logged 'sane_read \([0-9]+\) -> \(SANE_STATUS_NO_DOCS, 0\)' || has_window ''; }
# All Pages From Feeder on the duplex feeder's three sheets: six pages, and the start after them is accepted and
# its first read says NO_DOCS, which simple-scan takes as the end of the batch.
feeder() {
  start duplex-legal duplex-legal || return 0
  key ctrl+f
  wait_for 30 "feeder: the batch ends" batch_ended && autosaved feeder 638 1050 1 6 6 duplex
  [ "$(log_count 'sane_read \([0-9]+\) -> \(SANE_STATUS_EOF, 0\)')" = 6 ] || fail "feeder: not six pages read to EOF"
  ! logged "$mismatch" || fail "feeder: $(grep -aE "$mismatch" "$home/log" | head -n 1)"
  only_windows feeder "$main"
  shot simple-scan-feeder "$main"
  gui_quit feeder ctrl+q alt+q
}

session flatbed
session feeder
finish
