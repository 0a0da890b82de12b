#!/usr/bin/env bash
# Measures what the test suite runs: builds everything with gcc's coverage
# counters into build-coverage/ (Debug, -O0, so that lines and branches map
# one to one onto the source), runs the whole ctest suite, and reports line and
# branch coverage of the library (backend/ ipc/ options/ scan/ platform/ debug/),
# and separately of the simulator. tests/, bench/, fuzz/ and build trees are not
# counted. Branches the compiler adds for exceptions, and those on lines
# without code of their own, are left out of the branch figures.
#
# The full reports stay in build-coverage/coverage/: per-file lines and
# branches with the numbers of the lines not run (library-*.txt,
# simulator-*.txt), and everything in gcovr's JSON (coverage.json).
#
# Counters of the simulator and of the frontends that load the library are
# written when those processes end normally; a process that is killed, or that
# leaves with _exit() or exec, adds nothing: the library's child between fork
# and exec counts as never run, and so do a few of the simulator's fault paths
# and the simulators the tests kill.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-coverage
reports=$build/coverage
jobs=$(nproc)
start=$SECONDS

"$top/scripts/install-deps.sh"
if ! command -v gcovr >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: gcovr"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr
  else
    echo "the coverage report needs gcovr; run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends gcovr" >&2
    exit 1
  fi
fi

echo "== build $build (coverage)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKELVRA_COVERAGE=ON >/dev/null
cmake --build "$build" -j"$jobs"

# Counters add up across runs: start from zero.
find "$build" -name '*.gcda' -delete
rm -rf "$reports"
mkdir -p "$reports"

echo "== tests $build"
suite_failed=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 || suite_failed=1

echo "== coverage report"
cd "$top"
gcovr --root "$top" -j"$jobs" \
  --filter 'backend/' --filter 'ipc/' --filter 'options/' --filter 'scan/' --filter 'platform/' --filter 'debug/' \
  --filter 'simulator/' \
  --exclude 'tests/' --exclude 'bench/' --exclude 'fuzz/' --exclude 'build[^/]*/' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json "$reports/coverage.json" "$build"

library_filters=(--filter 'backend/' --filter 'ipc/' --filter 'options/' --filter 'scan/' --filter 'platform/' --filter 'debug/')
simulator_filters=(--filter 'simulator/')
for part in library simulator; do
  filters_name=${part}_filters[@]
  filters=("${!filters_name}")
  gcovr --root "$top" --add-tracefile "$reports/coverage.json" "${filters[@]}" \
    --txt "$reports/$part-lines.txt"
  gcovr --root "$top" --add-tracefile "$reports/coverage.json" "${filters[@]}" \
    --branches --txt "$reports/$part-branches.txt"
  gcovr --root "$top" --add-tracefile "$reports/coverage.json" "${filters[@]}" \
    --json-summary-pretty --json-summary "$reports/$part-summary.json"
done

python3 - "$reports" <<'EOF' | tee "$reports/summary.txt"
import json, sys
from collections import defaultdict

def percent(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"

print(f"{'':12} {'lines':>20} {'branches':>20}")
for part in ("library", "simulator"):
    with open(f"{sys.argv[1]}/{part}-summary.json") as f:
        summary = json.load(f)
    folders = defaultdict(lambda: [0, 0, 0, 0])
    for entry in summary["files"]:
        counts = folders[entry["filename"].split("/")[0] + "/"]
        counts[0] += entry["line_covered"]
        counts[1] += entry["line_total"]
        counts[2] += entry["branch_covered"]
        counts[3] += entry["branch_total"]
    if part == "library":
        for folder, (lc, lt, bc, bt) in sorted(folders.items()):
            print(f"  {folder:10} {percent(lc, lt)} {lc:5}/{lt:<6} {percent(bc, bt)} {bc:5}/{bt:<6}")
    lc, lt = summary["line_covered"], summary["line_total"]
    bc, bt = summary["branch_covered"], summary["branch_total"]
    print(f"{part:12} {percent(lc, lt)} {lc:5}/{lt:<6} {percent(bc, bt)} {bc:5}/{bt:<6}")
EOF
echo "== full reports in $reports ($((SECONDS - start)) s)"
if [ "$suite_failed" -ne 0 ]; then
  echo "== some tests failed: the figures above undercount" >&2
  exit 1
fi
