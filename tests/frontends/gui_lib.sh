# Shared by the GUI frontend tests, after lib.sh: an Xvfb display of the test's own, the frontend started with a
# fresh home, as the unprivileged user nobody when the tests run as root (XSane warns as root and waits for an
# answer; people run these programs as themselves), keys sent with xdotool, bounded waits on log lines, files and
# windows, and the check that no window the row did not expect (an error dialog) is open.
for program in Xvfb xdotool xwininfo import convert setpriv; do
  command -v "$program" > /dev/null ||
    { echo "FAIL: $program is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
shots=$KELVRA_BINARY_DIR/frontends
mkdir -p "$shots"

gui_user=()
if [ "$(id -u)" = 0 ]; then
  gui_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
  chmod 755 "$work"
  for path in "$sim" "$KELVRA_BINARY_DIR/testing/libsane-kelvra.so.1" "$SANE_CONFIG_DIR/dll.conf"; do
    "${gui_user[@]}" test -r "$path" || {
      echo "FAIL: user nobody cannot read $path: as root the GUI tests run the frontends as nobody, so the build" \
        "folder's files must be readable by all (ctest lets nobody pass the folders above it)" >&2
      exit 1
    }
  done
fi

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every 50 ms until it succeeds; after SECONDS, fails WHAT.
wait_for() {
  local seconds=$1 what=$2 deadline=$(($(now) + $1 * 1000000))
  shift 2
  until "$@"; do
    [ "$(now)" -lt "$deadline" ] || { fail "$what: not within $seconds s"; return 1; }
    sleep 0.05
  done
}

# The display: Xvfb picks a free number and writes it to descriptor 3.
timeout -k 5 290 Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.log" &
xvfb=$!
gui_pid=
gui_cleanup() {
  [ -z "$gui_pid" ] || gui_kill
  kill "$xvfb" 2> /dev/null || true
  wait "$xvfb" 2> /dev/null || true
  cleanup
}
trap gui_cleanup EXIT
display_ready() { grep -q '^[0-9]*$' "$work/display" 2> /dev/null && [ -S "/tmp/.X11-unix/X$(cat "$work/display")" ]; }
wait_for 20 "Xvfb reports its display" display_ready || { cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")

# gui_home NAME: a fresh home $work/NAME for the next frontend, in $home; the row writes its settings there.
gui_home() {
  home=$work/$1
  mkdir -p "$home/.config" "$home/.cache"
}

# gui_start COMMAND...: starts the frontend in $home as the GUI user, its standard error and output in $home/log,
# in English (the rows look for its window titles).
gui_start() {
  [ ${#gui_user[@]} = 0 ] || chown -R nobody: "$home"
  (cd "$home" && exec "${gui_user[@]}" env -u XAUTHORITY -u XDG_RUNTIME_DIR -u DBUS_SESSION_BUS_ADDRESS \
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" NO_AT_BRIDGE=1 LC_ALL=C.UTF-8 \
    timeout -k 5 120 "$@") > "$home/log" 2>&1 &
  gui_pid=$!
}
# The frontend itself, the child of its timeout.
gui_child() { cat "/proc/$gui_pid/task/$gui_pid/children" 2> /dev/null || true; }
gui_kill() {
  local child
  child=$(gui_child)
  kill -KILL $child "$gui_pid" 2> /dev/null || true
  wait "$gui_pid" 2> /dev/null || true
  gui_pid=
}
gui_ended() { ! kill -0 "$gui_pid" 2> /dev/null || grep -q '^State:.*zombie' "/proc/$gui_pid/status" 2> /dev/null; }
# gui_quit ROW KEYS [PROMPT_KEYS]: the frontend quits on KEYS, or on PROMPT_KEYS typed into the untitled window
# that KEYS opens (simple-scan asks whether to save the pages), within 15 s, and leaves no scan-manager behind.
gui_quit() {
  key "$2"
  if [ -z "${3:-}" ] || wait_for 10 "$1: the frontend asks before it quits" has_window ''; then
    [ -z "${3:-}" ] || key "$3" ''
    wait_for 15 "$1: the frontend quits" gui_ended || true
  fi
  gui_kill
  [ "$(simulators_running)" = 0 ] || fail "$1: a scan-manager outlived the frontend"
}

# session FUNCTION: runs the rows of one frontend session (a function that returns early when the frontend does
# not start); whatever happens, the frontend is gone afterwards.
session() {
  "$1"
  [ -z "$gui_pid" ] || gui_kill
}

# logged PATTERN: a line of the frontend's log matches the extended regular expression.
logged() { grep -aqE -- "$1" "$home/log"; }
# log_count PATTERN: how many lines match.
log_count() { grep -acE -- "$1" "$home/log"; }

# visible: "ID WIDTHxHEIGHT+X+Y NAME" for each visible top-level window, the 1x1 windows that toolkits keep mapped
# left out.
visible() {
  local ids id geometry name
  ids=" $(xdotool search --onlyvisible --maxdepth 1 --name '' 2> /dev/null | tr '\n' ' ') "
  xwininfo -root -children -int |
    sed -nE 's/^ +([0-9]+) (\(has no name\)|"(.*)"): \(.*\) +([0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+) .*/\1 \4 \3/p' |
    while read -r id geometry name; do
      case $ids in *" $id "*) [ "${geometry%%+*}" = 1x1 ] || echo "$id $geometry $name" ;; esac
    done
}
# windows: the names of the visible windows, one a line ("untitled" for one without a name).
windows() { visible | sed -E 's/^[0-9]+ [^ ]+ ?//; s/^$/untitled/'; }
# window NAME_PATTERN: the id of the visible window whose whole name matches the extended regular expression.
window() {
  local id geometry name
  while read -r id geometry name; do
    echo "$name" | grep -qxE -- "$1" && { echo "$id"; return 0; }
  done <<< "$(visible)"
  return 1
}
has_window() { window "$1" > /dev/null; }
no_window() { ! window "$1" > /dev/null; }
# only_windows ROW PATTERN: every visible window's name matches PATTERN (the frontend's own windows); a dialog
# the row did not expect fails it, with a screenshot in $shots.
only_windows() {
  local name others=()
  while IFS= read -r name; do
    [ -z "$name" ] || echo "$name" | grep -qxE -- "$2" || others+=("$name")
  done <<< "$(windows)"
  [ ${#others[@]} = 0 ] && return 0
  import -window root "$shots/$1-failed.png" 2> /dev/null || true
  fail "$1: windows open that the row does not expect: ${others[*]} (screen in $shots/$1-failed.png)"
}

# key KEYS [WINDOW_PATTERN]: focuses the window (the frontend's main one, $main, by default) and types KEYS.
key() {
  local id
  id=$(window "${2-$main}") || { fail "no window ${2-$main} to type $1 into"; return 0; }
  xdotool windowfocus --sync "$id" key --clearmodifiers "$1" || fail "xdotool could not type $1"
}

# shot NAME [WINDOW_PATTERN]: a screenshot of the window, or of the part of the screen the frontend's windows
# cover, in $shots/NAME.png, taken again until it shows the simulator's test chart (its colour bars hold pure
# yellow, cyan and magenta, which no toolkit theme draws) or 10 s have passed.
shot() { wait_for 10 "$1: the screen shows the test chart ($shots/$1.png)" snap "$@" || true; }
snap() {
  local id=root area=() right=0 bottom=0 w h x y colours
  if [ -n "${2:-}" ]; then
    id=$(window "$2") || return 1
  else
    # The area from the top-left corner that holds every window.
    while read -r w h x y; do
      [ $((x + w)) -le "$right" ] || right=$((x + w))
      [ $((y + h)) -le "$bottom" ] || bottom=$((y + h))
    done < <(visible | sed -E 's/^[0-9]+ ([0-9]+)x([0-9]+)\+(-?[0-9]+)\+(-?[0-9]+).*/\1 \2 \3 \4/')
    area=(-crop "${right}x$bottom+0+0")
  fi
  import -window "$id" "${area[@]}" +repage -define png:exclude-chunks=date,time "$shots/$1.png" 2> /dev/null ||
    return 1
  colours=$(convert "$shots/$1.png" -format %c histogram:info:- | grep -ciE '#(FFFF00|00FFFF|FF00FF) ')
  [ "$colours" = 3 ]
}
