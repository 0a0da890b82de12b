#!/usr/bin/env bash
# XSane under Xvfb in its save mode (xsane --save --no-mode-selection --force-filename FILE DEVICE), driven by its
# own accelerators (Ctrl+Enter scans, Esc cancels, Ctrl+Q quits): a page cancelled in the middle (the backend's
# cancel returns within a second), the flatbed page after it, a preview that shows the test chart, and feeder
# batches with a page count equal to the sheets (a clean batch) and above them (XSane's error dialog "Document
# feeder out of documents" at the end, as with any backend whose start on an empty feeder is accepted).
# XSANE_DEBUG logs its SANE calls; the saved files are compared with the simulator's pages byte for byte, and no
# dialog may be open but the one a row expects. The preview's screenshot lands in build/frontends/.
. "$(dirname "$0")/lib.sh"
. "$here/gui_lib.sh"
main='xsane 0\.999 .*'
own='(xsane 0\.999|Standard options|Preview) .*'  # XSane's own windows (the histogram is switched off)

# start NAME DEVICE MODEL PAGES [OPTION VALUE]...: XSane on DEVICE in a fresh home NAME, whose preferences scan
# PAGES pages per Ctrl+Enter and overwrite files without asking, and whose preferences for the device MODEL set
# the options and lay the windows out side by side (there is no window manager).
start() {
  local name=$1 device=$2 model=$3 pages=$4
  shift 4
  gui_home "$name"
  mkdir -p "$home/.sane/xsane"
  printf '"%s"\n%s\n' xsane-version '"0.999"' adf-pages-max "$pages" overwrite-warning 0 show-histogram 0 \
    > "$home/.sane/xsane/xsane.rc"
  printf '"%s"\n%s\n' XSANE_DEVICE_RC "\"Kelvra:$model\"" xsane-version '"0.999"' "$@" \
    xsane-main-window-x-position 0 xsane-main-window-y-position 0 xsane-standard-options-window-x-position 0 \
    xsane-standard-options-window-y-position 440 xsane-preview-window-x-position 410 \
    xsane-preview-window-y-position 0 > "$home/.sane/xsane/Kelvra:${model// /}.drc"
  XSANE_DEBUG=20 gui_start xsane --save --no-mode-selection --force-filename "$home/p-0001.pnm" "kelvra:$device"
  # Its last step before it waits for the user: loading the batch list.
  wait_for 30 "$name: XSane starts" logged 'batch_scan:load default list' &&
    wait_for 10 "$name: XSane's window" has_window "$main"
}

# saved ROW FILE WIDTH HEIGHT CHANNELS PAGE [CUT...]: XSane's FILE holds the simulator's page PAGE, cut from its
# document as page-reference says (XSane's header has comments and zero-padded sizes, so it is read line by line).
saved() {
  local row=$1 name=$2 file=$home/$2 width=$3 height=$4 channels=$5 page=$6 size magic w h max
  shift 6
  size=$((width * height * channels))
  [ -f "$file" ] && [ "$(stat -c %s "$file")" -gt "$size" ] || { fail "$row: $name is missing or short"; return; }
  read -r magic w h max <<< "$(head -c $(($(stat -c %s "$file") - size)) "$file" | grep -av '^#' | tr '\n' ' ')"
  [[ "$w $h" =~ ^[0-9]+\ [0-9]+$ ]] &&
    [ "$magic $((10#$w)) $((10#$h)) $max" = "P$((channels == 3 ? 6 : 5)) $width $height 255" ] ||
    fail "$row: $name has the header $magic $w $h $max"
  cmp -s <(tail -c "$size" "$file") <("$reference" "$width" "$height" $((width * channels)) "$channels" "$page" "$@") ||
    fail "$row: $name holds other pixels than the simulator's page $page"
}
ends() { [ "$(log_count 'Normal end of scan')" -ge "$1" ]; }
reads() { [ "$(log_count 'sane_read: len = [1-9]')" -ge "$1" ]; }

# mended ROW FROM: XSane mends a page whose size differs from what sane_get_parameters said, and says so; no such
# line after the log's line FROM.
mended() {
  local line
  line=$(tail -n +$(($2 + 1)) "$home/log" | grep -a -m 1 'correcting image height') || return 0
  fail "$1: XSane is $line"
}
lines() { wc -l < "$home/log"; }

# On fb-a4: the first 25 reads of the simulator are paced (100 ms each), so Esc lands in the middle of the page,
# and XSane says "Operation was canceled." in a warning of its own. Then the next scan from the same handle (the
# simulator's second page, A4 in colour at 75 dpi), and a preview, which shows the test chart.
flatbed() {
  scenario "$(for n in $(seq 25); do printf '<reply command="6" nth="%d" delay_ms="100"/>' "$n"; done)" \
    'piece_size="32768"'
  start fb-a4 fb-a4 "FB-4200 Flatbed" 1 || return 0
  key ctrl+Return
  if wait_for 20 "cancel: XSane reads the page" reads 3; then
    key Escape
    if wait_for 10 "cancel: XSane cancels" logged 'xsane_cancel$'; then
      begin=$(now)
      wait_for 10 "cancel: the read after the cancel" logged 'sane_read returned with status Operation was canceled' &&
        took=$((($(now) - begin) / 1000)) && { [ "$took" -le 1000 ] || fail "cancel: sane_cancel took $took ms"; }
    fi
    wait_for 10 "cancel: XSane's warning" has_window Warning && only_windows cancel "$own|Warning"
    key Return Warning
    wait_for 10 "cancel: the warning closes" no_window Warning || true
  fi

  local from
  from=$(lines)
  key ctrl+Return
  wait_for 20 "flatbed: the scan ends" ends 2 && saved flatbed p-0001.pnm 638 877 3 2
  mended flatbed "$from"
  only_windows flatbed "$own"
  # The preview has no accelerator: its button, at the foot of the preview window, is clicked.
  local preview
  preview=$(window 'Preview .*') || { fail "preview: no preview window"; return 0; }
  eval "$(xdotool getwindowgeometry --shell "$preview")"
  xdotool mousemove --window "$preview" 90 $((HEIGHT - 25)) click 1
  wait_for 20 "preview: the preview ends" logged 'preview_scan_done' && shot xsane-preview
  only_windows preview "$own"
  gui_quit flatbed ctrl+q
}

feeder=(source '"Automatic Document Feeder"' mode '"Gray"' resolution 75 br-x $((60 << 16)) br-y $((40 << 16)))
# Three pages asked of the three sheets of mfp-adf: three files, and no dialog. The feeder centres the 60 mm wide
# area: 230 pixels from the left of the A4 document at 75 dpi.
feeder() {
  start feeder mfp-adf "MF-5300 ADF" 3 "${feeder[@]}" || return 0
  key ctrl+Return
  if wait_for 20 "feeder: the batch ends" ends 1; then
    for page in 1 2 3; do saved feeder "p-000$page.pnm" 177 118 1 "$page" 230 0 638 877; done
    [ ! -e "$home/p-0004.pnm" ] || fail "feeder: a fourth file"
  fi
  mended feeder 0
  only_windows feeder "$own"
  gui_quit feeder ctrl+q
}

# Four pages asked of three sheets: the fourth start is accepted, its first read says the feeder is empty, and
# XSane shows that as an error dialog.
feeder_count_above() {
  start feeder-count-above mfp-adf "MF-5300 ADF" 4 "${feeder[@]}" || return 0
  key ctrl+Return
  if wait_for 20 "feeder-count-above: XSane's error dialog" has_window Error; then
    logged 'sane_read returned with status Document feeder out of documents' ||
      fail "feeder-count-above: the dialog is not about the empty feeder"
    for page in 1 2 3; do saved feeder-count-above "p-000$page.pnm" 177 118 1 "$page" 230 0 638 877; done
    only_windows feeder-count-above "$own|Error"
    key Return Error
  fi
  gui_quit feeder-count-above ctrl+q
}

session flatbed
session feeder
session feeder_count_above
finish
