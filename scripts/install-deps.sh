#!/usr/bin/env bash
# Installs the Debian packages kelvra needs to build, test and demo.
# As root it installs what is missing; otherwise it prints the one line to run.
set -euo pipefail

packages=(
  cmake g++ make pkg-config          # build
  libxml2-dev libsane-dev            # libxml2, and the header sane/sane.h
  googletest libgtest-dev            # the test framework
  sane-utils libsane1 python3-sane   # real frontends: scanimage, saned, dll and net, python-sane
  libpng-dev valgrind                # page files, memory checks
  nlohmann-json3-dev                 # JSON, for the tests that read the simulator's transcript
  clang libclang-rt-14-dev           # fuzzing with libFuzzer
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "== installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "kelvra needs these packages; run as root:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
