#!/usr/bin/env bash
# Installs the Debian packages kelvra needs to build, test, package and demo.
# As root it installs what is missing, printing one line that names them (apt's
# output goes to a log, shown only when the install fails); otherwise it prints
# the one line to run.
set -euo pipefail

packages=(
  cmake g++ make pkg-config          # build
  libxml2-dev libsane-dev            # libxml2, and the header sane/sane.h
  googletest libgtest-dev            # the test framework
  sane-utils libsane1 python3-sane   # real frontends: scanimage, saned, dll and net, python-sane
  libpng-dev valgrind                # page files, memory checks
  nlohmann-json3-dev                 # JSON: the simulator reads the backend's trace, the tests its transcript
  clang libclang-rt-14-dev           # fuzzing with libFuzzer
  debhelper dpkg-dev lintian         # the Debian packages, and their checks
  rpm rpmlint cpio                   # the RPM packages, and their checks
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "== installing: ${missing[*]}"
  log=$(mktemp /tmp/kelvra-install-deps-XXXXXX.log)
  # Other apt runs may hold dpkg's lock for a while.
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  if ! { "${apt[@]}" update && DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends \
           "${missing[@]}"; } > "$log" 2>&1; then
    cat "$log" >&2
    echo "== installing failed; apt's output is above and in $log" >&2
    exit 1
  fi
  rm -f "$log"
else
  echo "kelvra needs these packages; run as root:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
