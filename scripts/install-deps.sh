#!/usr/bin/env bash
# Installs the Debian packages kelvra needs to build, test, package and demo.
#   scripts/install-deps.sh          everything the test command uses
#   scripts/install-deps.sh --demo   only what scripts/demo.sh needs: the build and scanimage
# As root it installs what is missing, printing one line that names them (apt's
# output goes to a log, shown only when the install fails); otherwise it prints
# the one line to run.
set -euo pipefail

packages=(
  cmake g++ make pkg-config          # build
  libxml2-dev libsane-dev            # libxml2, and the header sane/sane.h
  libpng-dev nlohmann-json3-dev      # the simulator's page files, and the traces it replays; JSON for the tests
  googletest libgtest-dev            # the test framework (the build configures the tests too)
  sane-utils libsane1                # scanimage, saned, SANE's dll and net meta-backends
)
if [ "${1:-}" != --demo ]; then
  packages+=(
    python3-sane                       # python-sane
    sane libimage-sane-perl            # scanadf, Image::Sane
    gir1.2-libinsane-1.0 python3-gi    # libinsane through GObject introspection
    simple-scan xsane xvfb xdotool     # the GUI frontends under Xvfb, driven by their keys
    x11-utils imagemagick acl          # their windows listed and photographed; nobody let through to the build
    valgrind                           # memory checks
    clang libclang-rt-14-dev           # fuzzing with libFuzzer
    debhelper dpkg-dev lintian         # the Debian packages, and their checks
    rpm rpmlint cpio                   # the RPM packages, and their checks
  )
fi

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
