#!/usr/bin/env bash
# Builds the packages a user installs into dist/ (or KELVRA_DIST_DIR), without network:
#   libsane-kelvra_VERSION_ARCH.deb, kelvra-sim_VERSION_ARCH.deb   dpkg-buildpackage with debian/
#   libsane-kelvra-VERSION-1.ARCH.rpm, kelvra-sim-VERSION-1.ARCH.rpm  CPack, Fedora's paths
# from a copy of the project's files (a fresh clone's: tracked and new files, nothing ignored), so nothing is
# written into the source tree; the build logs are shown only when a step fails. The RPMs reuse the Debian
# build's objects: the two differ only in install paths, which the library and the simulator do not contain.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dist=${KELVRA_DIST_DIR:-$top/dist}
jobs=$(nproc)
work=$(mktemp -d /tmp/kelvra-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

# step NAME COMMAND...: runs COMMAND with its output in a log, shown if it fails.
step() {
  local log=$work/$1.log
  "${@:2}" > "$log" 2>&1 || { echo "FAIL: $1 (its log follows)" >&2; tail -n 60 "$log" >&2; exit 1; }
}

version=$(sed -n 's/^project(kelvra VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
src=$work/kelvra-$version
mkdir "$src"
if git -C "$top" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf -) | tar -xf - -C "$src"
else
  tar -C "$top" --exclude=./dist --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$src"
fi

step deb bash -c "cd '$src' && DEB_BUILD_OPTIONS='parallel=$jobs' dpkg-buildpackage -b -uc -us"

# Fedora's layout: SANE's backends in %{_libdir}/sane.
build=$src/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
libdir=$(rpm --eval '%{_libdir}')
step rpm-configure cmake -S "$src" -B "$build" -DCMAKE_INSTALL_LIBDIR="${libdir#/usr/}" \
  -DKELVRA_SANE_BACKEND_DIR="$libdir/sane"
step rpm bash -c "cd '$build' && cpack -G RPM -B '$work/rpm'"

mkdir -p "$dist"
rm -f "$dist"/*.deb "$dist"/*.rpm
cp "$work"/*.deb "$work"/rpm/*.rpm "$dist"/
(cd "$dist" && ls -1 -- *.deb *.rpm)
