#!/usr/bin/env bash
# Stages `cmake --install` of a build tree in a fresh DESTDIR and checks the
# tree a SANE installation needs: the backend in SANE's backend directory,
# its dll.d entry, a configuration file that a later install leaves alone,
# the backend description, the manual pages, and no scan-manager unless the
# tree asked for the simulator to be installed.
set -euo pipefail
: "${KELVRA_BINARY_DIR:?}"
build=$KELVRA_BINARY_DIR
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d /tmp/kelvra-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
dest=$work/root

# cache NAME: the value of a cache entry of the build tree.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" | head -n 1; }

prefix=$(cache CMAKE_INSTALL_PREFIX)
datarootdir=$(cache CMAKE_INSTALL_DATAROOTDIR); datarootdir=${datarootdir:-share}
datadir=$(cache CMAKE_INSTALL_DATADIR); datadir=${datadir:-$datarootdir}
mandir=$(cache CMAKE_INSTALL_MANDIR); mandir=${mandir:-$datarootdir/man}
case $datadir in /*) ;; *) datadir=$prefix/$datadir ;; esac
case $mandir in /*) ;; *) mandir=$prefix/$mandir ;; esac
backend_dir=$(cache KELVRA_SANE_BACKEND_DIR)
config_path=$(cache KELVRA_CONFIG_PATH)
manager_path=$(cache KELVRA_SCAN_MANAGER_PATH)
install_simulator=$(cache KELVRA_INSTALL_SIMULATOR)
sane_config_dir=$(dirname "$config_path")

[ -n "$backend_dir" ] && [ -n "$config_path" ] && [ -n "$manager_path" ] ||
  { echo "FAIL: the build tree has no install settings (cmake/install.cmake not included?)" >&2; exit 1; }

sane_libdir=$(pkg-config --variable=libdir sane-backends 2>/dev/null || true)
if [ -n "$sane_libdir" ] && [ "$backend_dir" != "$sane_libdir/sane" ]; then
  echo "note: backend directory set to $backend_dir instead of SANE's $sane_libdir/sane"
fi

install_tree() {
  DESTDIR=$dest cmake --install "$build" > "$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; echo "FAIL: cmake --install failed" >&2; exit 1; }
}

install_tree

# ------------------------------------------------ without root rights
# The same install script, run by a user who owns nothing but DESTDIR. Only
# the list of installed files that the script writes at its end is moved
# out of the build tree, which such a user may not write to.
unprivileged() {
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- "$@"
  else
    "$@"
  fi
}
if [ "$(id -u)" = 0 ] && ! command -v setpriv > /dev/null; then
  echo "note: no setpriv, the install without root rights is not tried"
else
  chmod 755 "$work"
  mkdir "$work/user"
  [ "$(id -u)" = 0 ] && chown nobody "$work/user"
  sed "s|file(WRITE \"$build/|file(WRITE \"$work/user/|" "$build/cmake_install.cmake" > "$work/user/install.cmake"
  if ! unprivileged test -r "$build/cmake_install.cmake" -a -r "$source_dir/doc/kelvra.conf"; then
    echo "note: the trees are not readable without root rights, the install without them is not tried"
  elif DESTDIR=$work/user/root unprivileged cmake -P "$work/user/install.cmake" > "$work/user.log" 2>&1; then
    diff <(cd "$dest" && find . | sort) <(cd "$work/user/root" && find . | sort) > "$work/user.diff" &&
      pass "an install without root rights stages the same tree" ||
      fail "an install without root rights stages another tree: $(cat "$work/user.diff")"
  else
    fail "the install without root rights failed: $(cat "$work/user.log")"
  fi
fi

# ---------------------------------------------------- the library trio
lib=$dest$backend_dir/libsane-kelvra
if [ -f "$lib.so.1.0.0" ] && [ ! -L "$lib.so.1.0.0" ]; then
  pass "libsane-kelvra.so.1.0.0 in $backend_dir"
else
  fail "no file libsane-kelvra.so.1.0.0 in $dest$backend_dir"
fi
for link in "$lib.so.1" "$lib.so"; do
  if [ -L "$link" ] && [ "$(readlink -f "$link")" = "$(readlink -f "$lib.so.1.0.0")" ]; then
    target=$(readlink "$link")
    case $target in
      /*) fail "$(basename "$link") is an absolute link ($target): it breaks when staged" ;;
      *) pass "$(basename "$link") -> $target" ;;
    esac
  else
    fail "$(basename "$link") is not a link to libsane-kelvra.so.1.0.0"
  fi
done
# (Outputs are kept whole before grep -q reads them: with pipefail, a writer
# cut short by grep's early exit would turn a match into a failure.)
dynamic=$(readelf -d "$lib.so.1.0.0" 2>/dev/null || true)
if grep -q 'Library soname: \[libsane-kelvra\.so\.1\]' <<<"$dynamic"; then
  pass "SONAME libsane-kelvra.so.1"
else
  fail "the installed library's SONAME is not libsane-kelvra.so.1"
fi
# Only the shipped flavour belongs there: the demo and testing flavours
# start the simulator of the build tree.
texts=$(strings "$lib.so.1.0.0" || true)
if grep -qxF "$manager_path" <<<"$texts" && ! grep -qF "$build/bin/" <<<"$texts"; then
  pass "the installed library is the shipped flavour"
else
  fail "the installed library is not the shipped flavour (it does not start $manager_path)"
fi

# The dynamic symbols: the thirteen entry points and the diagnostics only.
symbols=$(nm -D --defined-only "$lib.so.1.0.0" || true)
extra=$(awk '{print $NF}' <<<"$symbols" |
  grep -Ev '^(sane_kelvra_(init|exit|get_devices|open|close|get_option_descriptor|control_option|get_parameters|start|read|cancel|set_io_mode|get_select_fd)|debug|debug_option|debug_option_value|debug_parameters|get_status_string|xml_debug|_Z12split_string.*)$' || true)
entry_points=$(grep -c ' T sane_kelvra_' <<<"$symbols" || true)
[ -z "$extra" ] && [ "$entry_points" = 13 ] && pass "exports: 13 entry points and the diagnostics" ||
  fail "exports: $entry_points entry points; unexpected: $extra"

# ------------------------------------------------------- SANE's config
entry=$dest$sane_config_dir/dll.d/kelvra
[ -f "$entry" ] && [ "$(grep -v '^[[:space:]]*\(#.*\)\?$' "$entry")" = kelvra ] &&
  pass "dll.d/kelvra names kelvra" || fail "dll.d/kelvra missing or not naming kelvra alone"

conf=$dest$config_path
if [ -f "$conf" ] && cmp -s "$conf" "$source_dir/doc/kelvra.conf"; then
  pass "sample configuration installed at $config_path"
else
  fail "no sample configuration at $config_path"
fi
[ "$(stat -c %a "$conf" 2>/dev/null)" = 644 ] || fail "kelvra.conf is not mode 644"
# The sample lists no host: every line is a comment, and the last one ends.
grep -qv '^#' "$conf" && fail "the sample configuration has a line that is not a comment"
[ "$(tail -c 1 "$conf" | od -An -c | tr -d ' ')" = '\n' ] || fail "the sample's last line has no line end"

# A second install keeps the administrator's edit; a removed file comes back.
printf 'scanner.example.org\n' >> "$conf"
cp "$conf" "$work/edited.conf"
install_tree
cmp -s "$conf" "$work/edited.conf" && pass "a second install keeps the edited kelvra.conf" ||
  fail "a second install overwrote the edited kelvra.conf"
grep -q "Keeping existing" "$work/install.log" || fail "the second install did not say it kept kelvra.conf"
rm "$conf"
install_tree
cmp -s "$conf" "$source_dir/doc/kelvra.conf" && pass "a removed kelvra.conf is installed again" ||
  fail "a removed kelvra.conf was not installed again"

# ------------------------------------------------------- description
desc=$dest$datadir/sane/descriptions/kelvra.desc
if [ -f "$desc" ]; then
  if problems=$(python3 - "$desc" <<'EOF'
import re, sys
# Each line: blank, a comment, or one keyword followed by a string or a
# keyword, then maybe a comment. Models need an interface and a status.
line_form = re.compile(r'^\s*(;.*)?$|^\s*:([a-z-]+)\s+("(?:[^"\\]|\\.)*"|:[a-z-]+)\s*(;.*)?$')
known = {"backend", "version", "manpage", "url", "comment", "devicetype", "new",
         "mfg", "model", "interface", "usbid", "scsi", "status"}
statuses = {":unsupported", ":untested", ":minimal", ":basic", ":good", ":complete"}
entries, errors = [], []
for number, line in enumerate(open(sys.argv[1], encoding="utf-8"), 1):
    match = line_form.match(line.rstrip("\n"))
    if not match:
        errors.append(f"line {number} is no keyword form: {line.strip()}")
    elif match.group(2):
        if match.group(2) not in known:
            errors.append(f"line {number}: unknown keyword :{match.group(2)}")
        entries.append((match.group(2), match.group(3)))
keys = [k for k, _ in entries]
value = dict(reversed(entries))  # the first value of each keyword
if not keys or keys[0] != "backend" or value["backend"] != '"kelvra"':
    errors.append('the first keyword is not :backend "kelvra"')
for key, expected in (("manpage", '"sane-kelvra"'), ("devicetype", ":scanner"), ("mfg", '"Kelvra"')):
    if value.get(key) != expected:
        errors.append(f":{key} is not {expected}")
if "version" not in value:
    errors.append("no :version")
models = [i for i, k in enumerate(keys) if k == "model"]
if not models:
    errors.append("no :model")
for n, start in enumerate(models):
    end = models[n + 1] if n + 1 < len(models) else len(keys)
    block = dict(entries[start:end])
    if "interface" not in block:
        errors.append(f"model {block['model']} has no :interface")
    if block.get("status") not in statuses:
        errors.append(f"model {block['model']} has no valid :status")
interfaces = {v for k, v in entries if k == "interface"}
if not {'"USB"', '"Ethernet"'} <= interfaces:
    errors.append("the models do not cover USB and Ethernet")
print("\n".join(errors))
sys.exit(1 if errors else 0)
EOF
  ); then
    pass "kelvra.desc parses"
  else
    fail "kelvra.desc: $problems"
  fi
else
  fail "no kelvra.desc in $datadir/sane/descriptions"
fi

# -------------------------------------------------------- manual pages
page=$dest$mandir/man5/sane-kelvra.5
if [ -f "$page" ]; then
  pass "sane-kelvra.5 in $mandir/man5"
  if command -v groff > /dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1 || true)
    [ -z "$warnings" ] && pass "sane-kelvra.5 formats without warnings" || fail "groff: $warnings"
  else
    echo "note: groff missing, the page's formatting is not checked"
  fi
  # The page names the paths of this build.
  for path in "$config_path" "$sane_config_dir/dll.d/kelvra" "$backend_dir/libsane-kelvra.so.1" "$manager_path"; do
    grep -qF -- "${path//-/\\-}" "$page" || fail "sane-kelvra.5 does not name $path"
  done
else
  fail "no sane-kelvra.5 in $mandir/man5"
fi
sim_page=$dest$mandir/man1/kelvra-sim.1
if [ -f "$source_dir/doc/kelvra-sim.1" ]; then
  [ -f "$sim_page" ] && pass "kelvra-sim.1 in $mandir/man1" || fail "doc/kelvra-sim.1 exists but was not installed"
else
  [ ! -e "$sim_page" ] && pass "no kelvra-sim.1 to install" || fail "a kelvra-sim.1 appeared from nowhere"
fi

# ----------------------------------------------------- the scan-manager
case ${install_simulator^^} in
  ON | 1 | YES | TRUE | Y)
    [ -x "$dest$manager_path" ] && [ -f "$dest$manager_path" ] &&
      pass "the simulator installed as $manager_path" || fail "KELVRA_INSTALL_SIMULATOR is on but no $manager_path" ;;
  *)
    [ ! -e "$dest$manager_path" ] && [ ! -e "$(dirname "$dest$manager_path")" ] &&
      pass "no scan-manager installed" || fail "a scan-manager was installed without KELVRA_INSTALL_SIMULATOR" ;;
esac

# Nothing but the expected files.
find "$dest" ! -type d | sed "s|^$dest||" | sort > "$work/files"
expected=$(printf '%s\n' "$backend_dir/libsane-kelvra.so" "$backend_dir/libsane-kelvra.so.1" \
  "$backend_dir/libsane-kelvra.so.1.0.0" "$sane_config_dir/dll.d/kelvra" "$config_path" \
  "$datadir/sane/descriptions/kelvra.desc" "$mandir/man5/sane-kelvra.5")
[ -f "$source_dir/doc/kelvra-sim.1" ] && expected+=$'\n'"$mandir/man1/kelvra-sim.1"
case ${install_simulator^^} in ON | 1 | YES | TRUE | Y) expected+=$'\n'"$manager_path" ;; esac
unexpected=$(comm -23 "$work/files" <(sort <<<"$expected"))
[ -z "$unexpected" ] && pass "nothing else installed" || fail "unexpected files: $unexpected"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "PASS"
