#!/usr/bin/env bash
# scanimage through SANE's net backend and saned serving kelvra on 127.0.0.1: the list, a colour page and a grey
# area byte for byte, a feeder batch to the empty feeder. saned reads through sane_set_io_mode and
# sane_get_select_fd and waits for the select descriptor: this guards the saned end-of-page defect (the page's
# pipe stayed open at the page end, so saned never saw EOF and the scan hung). The net backend always connects
# to port 6566, so daemon and clients run in a private network namespace; where making one is refused (not
# root) the test fails, it does not skip.
if [ "${KELVRA_SANED_NETNS:-}" != 1 ]; then
  unshare -n true || { echo "FAIL: unshare -n is refused here; run the test as root" >&2; exit 1; }
  status=0
  KELVRA_SANED_NETNS=1 timeout -k 5 160 unshare -n bash "$0" || status=$?
  [ "$status" != 124 ] || echo "FAIL: the test did not end within 160 s (a page end saned never saw?)" >&2
  exit "$status"
fi
. "$(dirname "$0")/lib.sh"
scenario ""
ip link set lo up 2> /dev/null || ifconfig lo up
mkdir -p "$work/server" "$work/client"
echo kelvra > "$work/server/dll.conf"
echo 127.0.0.1 > "$work/server/saned.conf"
echo net > "$work/client/dll.conf"
printf 'connect_timeout = 10\n127.0.0.1\n' > "$work/client/net.conf"

# saned and all it started (connection processes, simulators) carry its configuration folder in their environment.
stop_saned() {
  kill "$saned" 2> /dev/null && wait "$saned" 2> /dev/null || true
  for pid in $(grep -lsF "SANE_CONFIG_DIR=$work/server" /proc/[0-9]*/environ | cut -d/ -f3); do
    kill -9 "$pid" 2> /dev/null || true
  done
  cleanup
}
trap stop_saned EXIT
listening() { grep -q ':19A6 00000000:0000 0A' /proc/net/tcp; }  # port 6566 listening, in this namespace
listening && { echo "FAIL: port 6566 is taken in a fresh network namespace" >&2; exit 1; }
SANE_CONFIG_DIR=$work/server timeout -k 5 150 saned -l -e -d 3 -b 127.0.0.1 -p 6566 > "$work/saned.log" 2>&1 &
saned=$!
for _ in $(seq 100); do listening && break; sleep 0.1; done
listening || { tail -n 40 "$work/saned.log" >&2; echo "FAIL: saned does not listen on 127.0.0.1:6566" >&2; exit 1; }

# The clients load nothing but the system's net backend; every connection has a handle of its own (page 1).
run() { SANE_CONFIG_DIR=$work/client env -u LD_LIBRARY_PATH timeout -k 5 60 "$@"; }
net=net:127.0.0.1:kelvra
check list 0 "device .$net:fb-a4' is a Kelvra FB-4200 Flatbed flatbed scanner
device .$net:mfp-adf' is a Kelvra MF-5300 ADF multi-function peripheral" "" scanimage -L
check colour 0 "" p.pnm:638:877:3:1 scanimage -d $net:fb-a4 --mode Color --resolution 75 --format=pnm -o p.pnm
check grey 0 "" p.pnm:295:236:1:1:59:118:1275:1754 \
  scanimage -d $net:fb-a4 --mode Gray --resolution 150 -l 10 -t 20 -x 50 -y 40 --format=pnm -o p.pnm
# saned asks for the select descriptor at every start; each page of the job has a pipe of its own.
check batch 0 "Document feeder out of documents" "$(pages 3 177 118 230:0:638:877)" scanimage -d $net:mfp-adf \
  --source "Automatic Document Feeder" --mode Gray --resolution 75 -x 60 -y 40 --format=pnm --batch=p-%d.pnm
kill -0 "$saned" || fail "saned ended during the test"
[ "$failures" = 0 ] || tail -n 40 "$work/saned.log" >&2
finish
