#!/usr/bin/env bash
# `cmake --install` into a fresh DESTDIR stages exactly the tree a SANE installation needs: the shipped library
# (a file and two relative links, SONAME libsane-kelvra.so.1) in SANE's backend folder, dll.d/kelvra, the sample
# kelvra.conf (kept when edited, put back when removed), a backend description that parses, a manual page that
# formats without warnings, the simulator as a command with its page, and no scan-manager unless
# KELVRA_INSTALL_SIMULATOR asks for it. A user who owns nothing but DESTDIR stages the same tree.
set -euo pipefail
: "${KELVRA_BINARY_DIR:?}"
build=$KELVRA_BINARY_DIR
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/kelvra-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
dest=$work/root
failures=0
# check NAME EXPRESSION: one line of the report; EXPRESSION is shell code.
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failures=$((failures + 1)); fi; }
install_tree() { DESTDIR=$dest cmake --install "$build" > "$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }; }

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" | head -n 1; }
full() { case $1 in /*) echo "$1" ;; *) echo "$(cache CMAKE_INSTALL_PREFIX)/$1" ;; esac; }
share=$(cache CMAKE_INSTALL_DATAROOTDIR)
data=$(cache CMAKE_INSTALL_DATADIR); data=$(full "${data:-${share:-share}}")
man=$(cache CMAKE_INSTALL_MANDIR); man=$(full "${man:-${share:-share}/man}")
bin=$(cache CMAKE_INSTALL_BINDIR); bin=$(full "${bin:-bin}")
backends=$(cache KELVRA_SANE_BACKEND_DIR)
conf=$(cache KELVRA_CONFIG_PATH)
manager=$(cache KELVRA_SCAN_MANAGER_PATH)
[ -n "$backends" ] && [ -n "$conf" ] && [ -n "$manager" ] || { echo "FAIL: no install settings in $build" >&2; exit 1; }
lib=$backends/libsane-kelvra.so

install_tree
expected=("$lib" "$lib.1" "$lib.1.0.0" "$(dirname "$conf")/dll.d/kelvra" "$conf" "$data/sane/descriptions/kelvra.desc"
          "$man/man5/sane-kelvra.5" "$bin/kelvra-sim" "$man/man1/kelvra-sim.1")
simulator=$(cache KELVRA_INSTALL_SIMULATOR)
case ${simulator^^} in ON | 1 | YES | TRUE | Y) expected+=("$manager") ;; esac
tree() { (cd "$1" && find . ! -type d | sed 's/^\.//' | sort); }
check "the tree is exactly: ${expected[*]}" 'diff <(tree "$dest") <(printf "%s\n" "${expected[@]}" | sort)'

check "libsane-kelvra.so and .so.1 are relative links to the file .so.1.0.0" \
  '[ ! -L "$dest$lib.1.0.0" ] && [ "$(readlink "$dest$lib")" = libsane-kelvra.so.1 ] &&
   [ "$(readlink "$dest$lib.1")" = libsane-kelvra.so.1.0.0 ]'
check "SONAME libsane-kelvra.so.1" \
  'readelf -d "$dest$lib.1.0.0" | grep -q "Library soname: \[libsane-kelvra\.so\.1\]"'
check "it exports the 13 entry points and the diagnostics (split_string weak), nothing else, and needs no libsane" \
  'diff <(nm -D --defined-only "$dest$lib.1.0.0" | awk "{print (\$2 == \"W\" ? \"W:\" : \"\") \$3}" | sort) \
        <(sort "$src/tests/install/exports.txt") && ! readelf -d "$dest$lib.1.0.0" | grep -q "libsane\.so"'
# The demo and testing flavours start the build tree's simulator.
check "the installed library is the shipped flavour, starting $manager" \
  'strings "$dest$lib.1.0.0" > "$work/strings" && grep -qxF "$manager" "$work/strings" && ! grep -qF "$build/bin/" "$work/strings"'
check "dll.d/kelvra names kelvra" '[ "$(grep -v "^\s*\(#.*\)\?$" "$dest$(dirname "$conf")/dll.d/kelvra")" = kelvra ]'
# The sample lists no host: comment lines only, the last one ended.
check "kelvra.conf is the sample, mode 644, comments only" \
  'cmp -s "$dest$conf" "$src/doc/kelvra.conf" && [ "$(stat -c %a "$dest$conf")" = 644 ] &&
   ! grep -qv "^#" "$dest$conf" && [ -z "$(tail -c 1 "$dest$conf")" ]'
echo scanner.example.org >> "$dest$conf"
cp "$dest$conf" "$work/edited.conf"
install_tree
check "a second install keeps the edited kelvra.conf, and says so" \
  'cmp -s "$dest$conf" "$work/edited.conf" && grep -q "Keeping existing" "$work/install.log"'
rm "$dest$conf"
install_tree
check "a removed kelvra.conf is installed again" 'cmp -s "$dest$conf" "$src/doc/kelvra.conf"'

# The description: each line blank, a comment, or a known keyword with a string or keyword value; the backend,
# its manual page, the maker, and models each with an interface (USB and Ethernet) and a valid status.
desc_parses() {
  python3 - "$1" <<'EOF'
import re, sys
form = re.compile(r'^\s*(;.*)?$|^\s*:([a-z-]+)\s+("(?:[^"\\]|\\.)*"|:[a-z-]+)\s*(;.*)?$')
keys = {"backend", "version", "manpage", "url", "comment", "devicetype", "new", "mfg", "model", "interface", "usbid",
        "scsi", "status"}
entries = []
for line in open(sys.argv[1], encoding="utf-8").read().splitlines():
    match = form.match(line) or sys.exit("not a keyword line: " + line)
    if match.group(2):
        assert match.group(2) in keys, line
        entries.append(match.group(2, 3))
first = dict(reversed(entries))
assert entries[0] == ("backend", '"kelvra"') and "version" in first, first
assert (first["manpage"], first["devicetype"], first["mfg"]) == ('"sane-kelvra"', ":scanner", '"Kelvra"'), first
models = [i for i, (k, _) in enumerate(entries) if k == "model"] + [len(entries)]
blocks = [dict(entries[a:b]) for a, b in zip(models, models[1:])]
assert blocks and all(b.get("status") in (":unsupported", ":untested", ":minimal", ":basic", ":good", ":complete")
                      for b in blocks), blocks
assert sorted(b.get("interface") for b in blocks) == ['"Ethernet"', '"USB"'], blocks
EOF
}
check "kelvra.desc parses" 'desc_parses "$dest$data/sane/descriptions/kelvra.desc"'
page=$dest$man/man5/sane-kelvra.5
check "sane-kelvra.5 formats without warnings" '[ -z "$(groff -man -ww -z "$page" 2>&1)" ]'
for path in "$conf" "$(dirname "$conf")/dll.d/kelvra" "$lib.1" "$manager"; do
  check "sane-kelvra.5 names $path" 'grep -qF -- "${path//-/\\-}" "$page"'
done

# The same install script run by nobody, who owns only DESTDIR: only the list of installed files the script
# writes at its end is moved out of the build tree, which nobody may not write to.
if [ "$(id -u)" = 0 ]; then
  chmod 755 "$work" && mkdir "$work/user" && chown nobody "$work/user"
  sed "s|file(WRITE \"$build/|file(WRITE \"$work/user/|" "$build/cmake_install.cmake" > "$work/user/install.cmake"
  check "nobody stages the same tree" 'DESTDIR=$work/user/root setpriv --reuid=nobody --regid="$(id -g nobody)" \
    --clear-groups -- cmake -P "$work/user/install.cmake" > "$work/user.log" 2>&1 &&
    diff <(tree "$dest") <(tree "$work/user/root")'
else
  echo "note: not root, the install as nobody is not tried"
fi
[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo PASS
