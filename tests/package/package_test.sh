#!/usr/bin/env bash
# The packages in dist/ (scripts/package.sh) as a user and a distribution meet them:
#   contents    exact file lists, conffiles and maintainer scripts of both .debs; Depends covering every library
#               the programs need; both programs hardened (RELRO, BIND_NOW), stripped, without RPATH/RUNPATH;
#               the backend exporting the SANE entry points and the diagnostics only; the project's version
#               everywhere; lintian without errors or warnings
#   life cycle  dpkg in a throwaway root: install, upgrade over an edited kelvra.conf, remove (the conffiles
#               stay), purge (nothing stays); the simulator never displaces a real scan-manager
#   extracted   the packaged files alone: scanimage lists the simulator's devices through the packaged library
#               and scans the build tree's pages byte for byte; without dll.d/kelvra no device appears
#   rpm         file lists, config files, requirements, scriptlets and the Fedora paths of both .rpms; rpmlint
# Usage: package_test.sh [DIST]; KELVRA_BINARY_DIR is the build tree whose scans it compares with.
set -euo pipefail
: "${KELVRA_BINARY_DIR:?}"
build=$KELVRA_BINARY_DIR
src=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$src/dist}" && pwd)
work=$(mktemp -d /tmp/kelvra-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
# check NAME EXPRESSION: one line of the report; EXPRESSION is shell code.
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failures=$((failures + 1)); fi; }
run() { timeout -k 5 60 "$@"; }

version=$(sed -n 's/^project(kelvra VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
backends=/usr/lib/$triplet/sane
declare -A deb=([libsane-kelvra]=$dist/libsane-kelvra_${version}_$(dpkg --print-architecture).deb
                [kelvra-sim]=$dist/kelvra-sim_${version}_$(dpkg --print-architecture).deb)
declare -A rpm=([libsane-kelvra]=$dist/libsane-kelvra-$version-1.$(uname -m).rpm
                [kelvra-sim]=$dist/kelvra-sim-$version-1.$(uname -m).rpm)
for file in "${deb[@]}" "${rpm[@]}"; do
  [ -f "$file" ] || { echo "FAIL: no $file (scripts/package.sh writes it)" >&2; exit 1; }
done

# ------------------------------------------------------------------ contents
# The table: each package's files and links (directories apart), control members and conffiles.
declare -A files=([libsane-kelvra]="/etc/sane.d/dll.d/kelvra
/etc/sane.d/kelvra.conf
$backends/libsane-kelvra.so.1 -> libsane-kelvra.so.1.0.0
$backends/libsane-kelvra.so.1.0.0
/usr/share/doc/libsane-kelvra/changelog.gz
/usr/share/doc/libsane-kelvra/copyright
/usr/share/man/man5/sane-kelvra.5.gz
/usr/share/sane/descriptions/kelvra.desc" [kelvra-sim]="/usr/bin/kelvra-sim
/usr/share/doc/kelvra-sim/changelog.gz
/usr/share/doc/kelvra-sim/copyright
/usr/share/lintian/overrides/kelvra-sim
/usr/share/man/man1/kelvra-sim.1.gz")
# A SANE backend needs no maintainer script; the simulator's register and unregister it as the scan-manager.
declare -A members=([libsane-kelvra]="conffiles control md5sums" [kelvra-sim]="control md5sums postinst prerm")
declare -A conffiles=([libsane-kelvra]="/etc/sane.d/dll.d/kelvra /etc/sane.d/kelvra.conf" [kelvra-sim]="")
listing() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 ($7 == "->" ? " -> " $8 : "") }'; }
words() { tr -s ' \n' '\n\n' | sed '/^$/d' | sort; }
# depends_of DEB: the names of the packages its Depends field names, alternatives included.
depends_of() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g' | sed '/^$/d'; }
# owners FILE-PATTERN: the packages of this machine that hold a file matching FILE-PATTERN.
owners() { dpkg-query -S "$1" 2> /dev/null | sed 's/: .*//' | tr ',' '\n' | sed 's/^ *//; s/:.*//'; }

for package in libsane-kelvra kelvra-sim; do
  file=${deb[$package]}
  mkdir -p "$work/$package" && dpkg-deb -x "$file" "$work/$package/tree" && dpkg-deb -e "$file" "$work/$package/control"
  check "$package: its files are exactly the table's" 'diff <(listing "$file" | sort) <(sort <<< "${files[$package]}")'
  check "$package: its control members are ${members[$package]}" \
    'diff <(ls "$work/$package/control" | words) <(words <<< "${members[$package]}")'
  check "$package: its conffiles are exactly: ${conffiles[$package]:-none}" \
    'diff <(cat "$work/$package/control/conffiles" 2> /dev/null | words) <(words <<< "${conffiles[$package]}")'
  check "$package: version $version" '[ "$(dpkg-deb -f "$file" Version)" = "$version" ]'
  # Each library an ELF file needs is in a package that Depends names.
  depends=$(depends_of "$file")
  while IFS= read -r elf; do
    name=${elf#"$work/$package/tree"}
    for needed in $(readelf -dW "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      check "$package: $name needs $needed, whose package Depends names" \
        'owners "*/$triplet/$needed" | grep -qxF -f <(echo "$depends")'
    done
    check "$package: $name has RELRO and BIND_NOW, no RPATH or RUNPATH, and is stripped" \
      'readelf -lW "$elf" | grep -q GNU_RELRO && readelf -dW "$elf" | grep -Eq "\((BIND_NOW|FLAGS(_1)?)\).*NOW" &&
       ! readelf -dW "$elf" | grep -Eq "\((RPATH|RUNPATH)\)" && ! readelf -SW "$elf" | grep -q "\.symtab"'
  done < <(find "$work/$package/tree" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
done
lib=$work/libsane-kelvra/tree$backends/libsane-kelvra.so.1.0.0
sim=$work/kelvra-sim/tree/usr/bin/kelvra-sim
check "libsane-kelvra: exports the SANE entry points and the diagnostics, nothing else" \
  'diff <(nm -D --defined-only "$lib" | awk "{print (\$2 == \"W\" ? \"W:\" : \"\") \$3}" | sort) \
        <(sort "$src/tests/install/exports.txt")'
check "kelvra-sim: depends on exactly its version of the backend" \
  'dpkg-deb -f "${deb[kelvra-sim]}" Depends | grep -qF "libsane-kelvra (= $version)"'
check "libsane-kelvra: recommends libsane1 | libsane, sane-utils" \
  '[ "$(dpkg-deb -f "${deb[libsane-kelvra]}" Recommends)" = "libsane1 | libsane, sane-utils" ]'
check "kelvra-sim registers itself at the scan-manager's path at priority 10 and unregisters on remove" \
  'grep -qx "[[:space:]]*update-alternatives --install /usr/libexec/kelvra/scan-manager kelvra-scan-manager /usr/bin/kelvra-sim 10" \
     "$work/kelvra-sim/control/postinst" &&
   grep -qx "[[:space:]]*update-alternatives --remove kelvra-scan-manager /usr/bin/kelvra-sim" "$work/kelvra-sim/control/prerm"'

# The version, set in CMakeLists.txt only, as every file shows it.
tree=$work/libsane-kelvra/tree
check "version $version: kelvra-sim --version" '[ "$("$sim" --version)" = "kelvra-sim $version" ]'
check "version $version: both manual pages" \
  '(for page in "$tree/usr/share/man/man5/sane-kelvra.5.gz" "$work/kelvra-sim/tree/usr/share/man/man1/kelvra-sim.1.gz"; do
      zcat "$page" | grep -q "^\.TH .* \"kelvra $version\"" || exit 1; done)'
check "version $version: the backend description" 'grep -q "^:version \"$version\"" "$tree/usr/share/sane/descriptions/kelvra.desc"'
check "version $version: the newest entry of debian/changelog and of CHANGELOG.md" \
  'zcat "$tree/usr/share/doc/libsane-kelvra/changelog.gz" | head -n 1 | grep -q "^kelvra ($version) " &&
   [ "$(grep -m 1 "^## " "$src/CHANGELOG.md" | cut -d " " -f 2)" = "$version" ]'

# lintian's overrides carry their reasons in debian/*.lintian-overrides.
check "lintian: no error and no warning" \
  'lintian --fail-on error,warning "${deb[@]}" > "$work/lintian.log" 2>&1; status=$?
   grep -v "running with root privileges" "$work/lintian.log" >&2; [ "$status" = 0 ]'

# ---------------------------------------------------------------- life cycle
# A dpkg root of its own, whose status lists only the libraries the packages depend on (with this machine's
# versions, so that dpkg checks the dependencies); the maintainer scripts run outside it with DPKG_ROOT set, which
# update-alternatives honours. Nothing of this machine's /etc or dpkg database changes.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/alternatives" "$root/etc/alternatives"
for package in $( (depends_of "${deb[libsane-kelvra]}"; depends_of "${deb[kelvra-sim]}") | grep -vx libsane-kelvra | sort -u); do
  dpkg-query -W -f='Package: ${Package}\nStatus: install ok installed\nVersion: ${Version}\nArchitecture: ${Architecture}\nMulti-Arch: ${Multi-Arch}\nMaintainer: none\nDescription: none\n\n' "$package"
  touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done > "$root/var/lib/dpkg/status"
# What of this machine the test could touch (other programs may run apt meanwhile).
host_state() {
  dpkg-query -W libsane-kelvra kelvra-sim real-scan-manager 2>&1
  ls -la /etc/alternatives/kelvra-scan-manager /usr/libexec/kelvra /etc/sane.d/kelvra.conf /etc/sane.d/dll.d 2>&1 || true
}
host_before=$(host_state)
outside_db() { (cd "$root" && find . \( -path ./var/lib/dpkg -o -path ./var/log \) -prune -o -print | sort); }
empty_root=$(outside_db)
# (A question about a conffile would wait for an answer: it fails on the closed input instead.)
in_root() {
  run dpkg --root="$root" --force-not-root --force-script-chrootless --log=/dev/null "$@" < /dev/null > "$work/dpkg.log" 2>&1 ||
    { sed 's/^/    /' "$work/dpkg.log" >&2; return 1; }
}
state() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${db:Status-Abbrev}${Version}' "$1" 2> /dev/null | tr -d ' '; }
manager=$root/usr/libexec/kelvra/scan-manager
registered() {
  [ "$(readlink "$manager")" = /etc/alternatives/kelvra-scan-manager ] &&
  [ "$(readlink "$root/etc/alternatives/kelvra-scan-manager")" = /usr/bin/kelvra-sim ]
}
conf=$root/etc/sane.d/kelvra.conf

check "install: both packages installed and verified" \
  'in_root -i "${deb[@]}" && [ "$(state libsane-kelvra)" = "ii$version" ] && [ "$(state kelvra-sim)" = "ii$version" ] &&
   in_root -V libsane-kelvra kelvra-sim'
check "install: the scan-manager's path leads to the simulator through the alternatives system" registered

# The same packages at a higher version, as an upgrade brings them.
next=$version+1
for package in libsane-kelvra kelvra-sim; do
  dpkg-deb -R "${deb[$package]}" "$work/next-$package"
  sed -i "s/^Version: .*/Version: $next/; s/(= $version)/(= $next)/" "$work/next-$package/DEBIAN/control"
  dpkg-deb --root-owner-group -Zgzip -z1 -b "$work/next-$package" "$work/next-$package.deb" > /dev/null
done
echo scanner.example.org >> "$conf"
cp "$conf" "$work/edited.conf"
check "upgrade to $next: installed, kelvra.conf keeps the user's edit, the simulator stays registered" \
  'in_root -i "$work/next-libsane-kelvra.deb" "$work/next-kelvra-sim.deb" && [ "$(state libsane-kelvra)" = "ii$next" ] &&
   cmp -s "$conf" "$work/edited.conf" && registered'
check "remove: libsane-kelvra keeps its conffiles (rc) as edited, its other files and the registration are gone" \
  'in_root -r kelvra-sim libsane-kelvra && [ "$(state libsane-kelvra)" = "rc$next" ] && [ -z "$(state kelvra-sim | grep ^i)" ] &&
   cmp -s "$conf" "$work/edited.conf" && [ -f "$root/etc/sane.d/dll.d/kelvra" ] && [ ! -e "$root$backends" ] &&
   [ ! -L "$manager" ] && [ ! -L "$root/etc/alternatives/kelvra-scan-manager" ] &&
   [ ! -e "$root/var/lib/dpkg/alternatives/kelvra-scan-manager" ]'
check "purge: nothing is left" \
  'in_root -P libsane-kelvra kelvra-sim && [ "$(outside_db)" = "$empty_root" ] &&
   ! grep -q kelvra "$root/var/lib/dpkg/status" && ! ls "$root/var/lib/dpkg/info" | grep -q kelvra &&
   [ -z "$(ls "$root/var/lib/dpkg/alternatives")" ]'

# A real scan-manager, installed as a file by a package of its own, before or after the simulator.
mkdir -p "$work/real/DEBIAN" "$work/real/usr/libexec/kelvra"
printf '#!/bin/sh\n# the real scan-manager\n' > "$work/real/usr/libexec/kelvra/scan-manager"
chmod 755 "$work/real/usr/libexec/kelvra/scan-manager"
printf 'Package: real-scan-manager\nVersion: 1\nArchitecture: all\nMaintainer: none <none@example.org>\nDescription: the real scan-manager\n' \
  > "$work/real/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/real" "$work/real.deb" > /dev/null
is_real() { [ ! -L "$manager" ] && cmp -s "$manager" "$work/real/usr/libexec/kelvra/scan-manager"; }
check "a real scan-manager installed first keeps its path when the simulator comes and goes" \
  'in_root -i "$work/real.deb" && in_root -i "${deb[@]}" && is_real && in_root -P kelvra-sim libsane-kelvra && is_real &&
   in_root -P real-scan-manager && [ "$(outside_db)" = "$empty_root" ]'
check "a real scan-manager installed after the simulator takes its path and keeps it when the simulator goes" \
  'in_root -i "${deb[@]}" && registered && in_root -i "$work/real.deb" && is_real && in_root -P kelvra-sim libsane-kelvra &&
   is_real && in_root -P real-scan-manager && [ "$(outside_db)" = "$empty_root" ]'
check "this machine's packages, alternatives and SANE files are as they were" '[ "$(host_state)" = "$host_before" ]'

# ----------------------------------------------------------------- extracted
# The packaged files only: SANE's configuration folder and the library's folder in the extracted tree; the
# scan-manager's path and /etc/sane.d/kelvra.conf, which the library has built in, lead into that tree in a mount
# namespace of the command's own (overlays, so this machine's files stay as they are).
extracted=$work/extracted
dpkg-deb -x "${deb[libsane-kelvra]}" "$extracted" && dpkg-deb -x "${deb[kelvra-sim]}" "$extracted"
mkdir -p "$work/libexec/kelvra" && ln -s "$extracted/usr/bin/kelvra-sim" "$work/libexec/kelvra/scan-manager"
if [ "$(id -u)" = 0 ]; then namespace=(unshare --mount --propagation private); else
  namespace=(unshare --user --map-root-user --mount --propagation private); fi
in_tree() {
  # shellcheck disable=SC2016
  run "${namespace[@]}" bash -c 'mount -t overlay overlay -o "lowerdir=$1:/usr/libexec" /usr/libexec &&
    { [ ! -d /etc/sane.d ] || mount -t overlay overlay -o "lowerdir=$2:/etc/sane.d" /etc/sane.d; } && shift 2 &&
    exec "$@"' _ "$work/libexec" "$extracted/etc/sane.d" env LD_LIBRARY_PATH="$extracted$backends" "$@"
}
if [ "$(id -u)" != 0 ] && ! in_tree true 2> "$work/namespace.log"; then
  echo "note: no mount namespace for this user ($(head -n 1 "$work/namespace.log")): the extracted packages are not run"
else
  in_tree env SANE_CONFIG_DIR="$extracted/etc/sane.d" SANE_DEBUG_DLL=3 scanimage -L > "$work/list.log" 2>&1 || true
  check "extracted: scanimage -L lists the simulator's devices" \
    '(for device in fb-a4 mfp-adf duplex-legal; do grep -q "^device .kelvra:$device. is a Kelvra" "$work/list.log" || exit 1; done)'
  check "extracted: SANE's dll added the backend from dll.d and loaded the packaged library" \
    'grep -qE "adding backend .kelvra.$" "$work/list.log" && grep -qF "dlopen()ing \`$extracted$backends/libsane-kelvra.so.1'"'"'" "$work/list.log"'
  mkdir -p "$work/build-sane.d" && echo kelvra > "$work/build-sane.d/dll.conf"
  # same_page NAME SCANIMAGE-ARGUMENTS...: the page from the packages is the build tree's, byte for byte.
  same_page() {
    local name=$1
    shift
    in_tree env SANE_CONFIG_DIR="$extracted/etc/sane.d" scanimage "$@" --format=pnm -o "$work/$name-packaged.pnm" &&
    SANE_CONFIG_DIR=$work/build-sane.d LD_LIBRARY_PATH=$build/demo run scanimage "$@" --format=pnm -o "$work/$name-build.pnm" &&
    [ -s "$work/$name-build.pnm" ] && cmp -s "$work/$name-packaged.pnm" "$work/$name-build.pnm"
  }
  check "extracted: a colour flatbed page is the build tree's" 'same_page flatbed -d kelvra:fb-a4 --mode Color --resolution 100'
  check "extracted: a grey feeder page is the build tree's" \
    'same_page feeder -d kelvra:mfp-adf --source "Automatic Document Feeder" --mode Gray --resolution 75'
  # The negative control: the same tree without dll.d/kelvra.
  cp -r "$extracted/etc/sane.d" "$work/without-dll.d" && rm "$work/without-dll.d/dll.d/kelvra"
  check "extracted, without dll.d/kelvra: no kelvra device" \
    'in_tree env SANE_CONFIG_DIR="$work/without-dll.d" SANE_DEBUG_DLL=3 scanimage -L > "$work/control.log" 2>&1;
     grep -q "No scanners were identified" "$work/control.log" && ! grep -qE "kelvra:|backend .kelvra.$" "$work/control.log"'
fi

# ----------------------------------------------------------------------- rpm
libdir=$(rpm --eval '%{_libdir}')
declare -A rpm_files=([libsane-kelvra]="/etc/sane.d/dll.d/kelvra
/etc/sane.d/kelvra.conf
$libdir/sane/libsane-kelvra.so.1
$libdir/sane/libsane-kelvra.so.1.0.0
/usr/share/man/man5/sane-kelvra.5.gz
/usr/share/sane/descriptions/kelvra.desc" [kelvra-sim]="/usr/bin/kelvra-sim
/usr/libexec/kelvra
/usr/share/man/man1/kelvra-sim.1.gz")
declare -A rpm_config=([libsane-kelvra]="/etc/sane.d/dll.d/kelvra /etc/sane.d/kelvra.conf" [kelvra-sim]="")
for package in libsane-kelvra kelvra-sim; do
  file=${rpm[$package]}
  # The build-id links that rpmbuild adds name the build.
  check "$package.rpm: its files are exactly the table's" \
    'diff <(rpm -qlp "$file" | grep -v "^/usr/lib/\.build-id" | sort) <(sort <<< "${rpm_files[$package]}")'
  check "$package.rpm: %config(noreplace) files: ${rpm_config[$package]:-none}" \
    'diff <(rpm -qp --configfiles "$file" | words) <(words <<< "${rpm_config[$package]}") &&
     [ -z "$(rpm -qp --qf "[%{FILENAMES} %{FILEFLAGS:fflags}\n]" "$file" | awk "\$2 ~ /c/ && \$2 !~ /n/")" ]'
  check "$package.rpm: version $version-1" '[ "$(rpm -qp --qf "%{VERSION}-%{RELEASE}" "$file")" = "$version-1" ]'
done
check "libsane-kelvra.rpm: no scriptlet; requires libxml2, not libsane; provides no plug-in SONAME" \
  '[ -z "$(rpm -qp --scripts "${rpm[libsane-kelvra]}")" ] && rpm -qp --requires "${rpm[libsane-kelvra]}" > "$work/requires" &&
   grep -q "^libxml2\.so\.2()" "$work/requires" && ! grep -q -e "^libsane\.so" -e /bin/sh "$work/requires" &&
   ! rpm -qp --provides "${rpm[libsane-kelvra]}" | grep -q "\.so"'
check "kelvra-sim.rpm: requires exactly its backend; registers itself in %post, unregisters in %postun on removal" \
  'rpm -qp --requires "${rpm[kelvra-sim]}" | grep -qx "libsane-kelvra = $version-1" &&
   rpm -qp --scripts "${rpm[kelvra-sim]}" > "$work/scripts" &&
   grep -q "update-alternatives --install /usr/libexec/kelvra/scan-manager kelvra-scan-manager /usr/bin/kelvra-sim 10" "$work/scripts" &&
   sed -n "/^postuninstall/,\$p" "$work/scripts" | grep -q "update-alternatives --remove kelvra-scan-manager /usr/bin/kelvra-sim"'
check "libsane-kelvra.rpm: its manual page names the backend in $libdir/sane" \
  '(cd "$work" && rpm2cpio "${rpm[libsane-kelvra]}" | cpio -i --quiet --to-stdout ./usr/share/man/man5/sane-kelvra.5.gz) |
   zcat | grep -qF "$libdir/sane/libsane"'
if command -v rpmlint > /dev/null; then
  check "rpmlint: no error and no warning" \
    'rpmlint -c "$src/tests/package/rpmlint.toml" "${rpm[@]}" > "$work/rpmlint.log" 2>&1; status=$?
     grep -E ": (E|W): " "$work/rpmlint.log" >&2; [ "$status" = 0 ] && ! grep -qE ": (E|W): " "$work/rpmlint.log"'
else
  echo "note: no rpmlint here"
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo PASS
