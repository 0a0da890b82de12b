#!/usr/bin/env bash
# Pages scanned over the network: saned serves kelvra (and the simulator) on
# 127.0.0.1, and scanimage reaches it through SANE's net backend. saned reads
# through sane_set_io_mode and sane_get_select_fd, unlike scanimage.
#
# The net backend always connects to port 6566, so the daemon and the client
# run inside a private network namespace of their own: the test never meets a
# saned of the machine. Making one needs root; where that is refused the test
# fails, it does not skip.
if [ "${KELVRA_SANED_NETNS:-}" != 1 ]; then
  if ! unshare -n true; then
    echo "FAIL: unshare -n is refused here; this test needs a private network namespace (run it as root)" >&2
    exit 1
  fi
  status=0
  KELVRA_SANED_NETNS=1 timeout -k 5 160 unshare -n bash "$0" "$@" || status=$?
  [ "$status" != 124 ] || echo "FAIL: the test did not finish within 160 seconds" >&2
  exit "$status"
fi

. "$(dirname "$0")/lib.sh"
scenario ""

if command -v ip > /dev/null; then
  ip link set lo up
else
  ifconfig lo up
fi

# The daemon's side: the dll meta-backend with kelvra alone, and an access
# list that lets the loopback address in.
mkdir -p "$work/server" "$work/client"
echo kelvra > "$work/server/dll.conf"
echo 127.0.0.1 > "$work/server/saned.conf"
# The client's side: the net backend alone, pointed at the daemon.
echo net > "$work/client/dll.conf"
printf 'connect_timeout = 10\n127.0.0.1\n' > "$work/client/net.conf"

saned_pid=
# pids_with VARIABLE=VALUE: the processes whose environment holds it.
pids_with() {
  local environ pid
  for environ in $(grep -lsF "$1" /proc/[0-9]*/environ); do
    pid=${environ#/proc/}
    echo "${pid%/environ}"
  done
}
# The scan-manager simulators of this test (saned carries the scenario in its
# environment too, so lib.sh's count cannot be used while it runs).
scan_managers_left() {
  local pid count=0
  for pid in $(pids_with "KELVRA_SIM_SCENARIO=$work/scenario.xml"); do
    [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$(readlink -f "$sim")" ] && count=$((count + 1))
  done
  echo "$count"
}
# saned, the processes it started (one per connection, the scan-manager
# simulators under them) carry the daemon's configuration folder in their
# environment: whatever is left of them is stopped by id.
stop_saned() {
  if [ -n "$saned_pid" ]; then
    kill "$saned_pid" 2> /dev/null || true
    for _ in $(seq 50); do
      kill -0 "$saned_pid" 2> /dev/null || break
      sleep 0.1
    done
    kill -9 "$saned_pid" 2> /dev/null || true
    wait "$saned_pid" 2> /dev/null || true
  fi
  local pid
  for pid in $(pids_with "SANE_CONFIG_DIR=$work/server"); do kill -9 "$pid" 2> /dev/null || true; done
  cleanup
}
trap stop_saned EXIT

saned_fail() {
  echo "--- saned's log (last lines)" >&2
  tail -n 40 "$work/saned.log" >&2 || true
  fail "$@"
}

# 6566 in the hexadecimal of /proc/net/tcp, listening (state 0A), in this namespace.
listening() { grep -q ':19A6 00000000:0000 0A' /proc/net/tcp; }
listening && fail "port 6566 is taken inside a fresh network namespace"

SANE_CONFIG_DIR=$work/server timeout -k 5 150 saned -l -e -d 3 -b 127.0.0.1 -p 6566 > "$work/saned.log" 2>&1 &
saned_pid=$!
for _ in $(seq 100); do
  listening && break
  kill -0 "$saned_pid" 2> /dev/null || saned_fail "saned ended before it listened"
  sleep 0.1
done
listening || saned_fail "saned does not listen on 127.0.0.1:6566 after 10 seconds"

# client LOG COMMAND...: a frontend that loads nothing but the system's net
# backend, its standard error in LOG; fails the test when it fails.
client() {
  local log=$1 status=0
  shift
  SANE_CONFIG_DIR=$work/client env -u LD_LIBRARY_PATH timeout -k 5 60 "$@" 2> "$log" || status=$?
  cat "$log" >&2
  [ "$status" != 124 ] || saned_fail "$* did not finish within 60 seconds"
  [ "$status" = 0 ] || saned_fail "$* failed with status $status"
}

client "$work/list.log" scanimage -L > "$work/list"
cat "$work/list"
grep -qF "device \`net:127.0.0.1:kelvra:fb-a4' is a Kelvra FB-4200 Flatbed flatbed scanner" "$work/list" ||
  saned_fail "the flatbed is not listed through saned"
grep -qF "device \`net:127.0.0.1:kelvra:mfp-adf' is a Kelvra MF-5300 ADF multi-function peripheral" "$work/list" ||
  saned_fail "the feeder device is not listed through saned"

# scan NAME OPTIONS...: one page into $work/NAME.pnm; every connection gets a
# handle of its own, so every page is its scan-manager's page 1.
scan() {
  local name=$1
  shift
  client "$work/$name.log" scanimage -d net:127.0.0.1:kelvra:fb-a4 "$@" --format=pnm -o "$work/$name.pnm"
}

# A whole A4 page in colour, byte for byte.
scan colour --mode Color --resolution 75
[ "$(pnm_size "$work/colour.pnm")" = "638 877" ] || saned_fail "colour page size $(pnm_size "$work/colour.pnm")"
pnm_body "$work/colour.pnm" > "$work/colour.raw"
"$reference" 638 877 1914 3 1 > "$work/colour.expected"
cmp "$work/colour.raw" "$work/colour.expected" || saned_fail "colour page through saned differs"

# A grey part of the bed: 50 x 40 mm from (10, 20) at 150 dpi.
scan grey --mode Gray --resolution 150 -l 10 -t 20 -x 50 -y 40
[ "$(pnm_size "$work/grey.pnm")" = "295 236" ] || saned_fail "grey page size $(pnm_size "$work/grey.pnm")"
pnm_body "$work/grey.pnm" > "$work/grey.raw"
"$reference" 295 236 295 1 1 > "$work/grey.expected"
cmp "$work/grey.raw" "$work/grey.expected" || saned_fail "grey page through saned differs"

# A feeder batch: saned asks for the select descriptor at every start, and
# each page of the job has a pipe of its own.
mkdir -p "$work/batch"
client "$work/batch/log" scanimage -d net:127.0.0.1:kelvra:mfp-adf --source "Automatic Document Feeder" \
  --mode Gray --resolution 75 -x 60 -y 40 --format=pnm --batch="$work/batch/page-%d.pnm"
count=$(find "$work/batch" -name 'page-*.pnm' | wc -l)
[ "$count" = 3 ] || saned_fail "feeder batch through saned: $count pages instead of 3"
for page in 1 2 3; do
  [ "$(pnm_size "$work/batch/page-$page.pnm")" = "177 118" ] || saned_fail "sheet $page size"
  pnm_body "$work/batch/page-$page.pnm" > "$work/batch/raw"
  "$reference" 177 118 177 1 "$page" > "$work/batch/expected"
  cmp -s "$work/batch/raw" "$work/batch/expected" || saned_fail "sheet $page through saned differs"
done
grep -q "Document feeder out of documents" "$work/batch/log" || saned_fail "the batch did not end on the empty feeder"

# saned's connection processes close their handles when the client goes;
# no scan-manager stays behind.
for _ in $(seq 50); do
  [ "$(scan_managers_left)" = 0 ] && break
  sleep 0.1
done
[ "$(scan_managers_left)" = 0 ] || saned_fail "a scan-manager outlived its saned connection"
kill -0 "$saned_pid" 2> /dev/null || saned_fail "saned ended during the test"
echo "PASS"
