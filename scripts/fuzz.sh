#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) into build-fuzz/ and runs each one for
# a short fixed time, starting from its seed corpus. Any crash, sanitizer
# report, leak, timeout or failed check fails the run; what libFuzzer found is
# left in build-fuzz/artifacts/<target>/ and its log in build-fuzz/logs/.
#   KELVRA_FUZZ_SECONDS  seconds per target (default 20)
#   KELVRA_FUZZ_TARGETS  space-separated subset of targets to run
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
seconds=${KELVRA_FUZZ_SECONDS:-20}
targets=(${KELVRA_FUZZ_TARGETS:-fuzz_devices fuzz_capability fuzz_image_info fuzz_scan_status
         fuzz_read_reply fuzz_acks fuzz_config fuzz_trace})
max_len=65536

case $seconds in '' | *[!0-9]*) echo "KELVRA_FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;; esac

"$top/scripts/install-deps.sh"

find_clang() {
  local candidate
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then command -v "$candidate"; return 0; fi
  done
  return 1
}

# Whether this clang can link a fuzz target: the runtime comes in a package
# of its own (libclang-rt-<version>-dev), which clang only recommends.
can_link_fuzzer() {
  local probe
  probe=$(mktemp -d)
  printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
  local result=0
  "$1" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || result=1
  rm -rf "$probe"
  return $result
}

install_packages() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzzing needs these packages; run as root: apt-get install -y $*" >&2
    exit 1
  fi
  echo "== installing: $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

cxx=$(find_clang) || { install_packages clang; cxx=$(find_clang); }
if ! can_link_fuzzer "$cxx"; then
  version=$("$cxx" -dumpversion | cut -d. -f1)
  install_packages "libclang-rt-$version-dev"
  can_link_fuzzer "$cxx" || { echo "$cxx cannot link libFuzzer targets" >&2; exit 1; }
fi

echo "== build $build (compiler: $cxx)"
cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" -- --no-print-directory >/dev/null

echo "== fuzz: ${#targets[@]} targets, $seconds s each"
mkdir -p "$build/logs"
failed=()
for target in "${targets[@]}"; do
  seeds=$top/fuzz/corpus/$target
  work=$build/corpus/$target
  artifacts=$build/artifacts/$target
  log=$build/logs/$target.log
  [ -d "$seeds" ] || { echo "$target: no seed corpus in $seeds" >&2; failed+=("$target"); continue; }
  # A fresh working corpus each run, so that every run starts from the seeds;
  # new inputs go to the first directory, the seeds are only read.
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  status=0
  "$build/$target" -max_total_time="$seconds" -max_len=$max_len -timeout=10 -rss_limit_mb=2048 \
    -dict="$top/fuzz/kelvra.dict" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$seeds" >"$log" 2>&1 || status=$?
  # A run that crashes at once prints no statistics: nothing found is no error.
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1 || true)
  coverage=$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -n1 | cut -d' ' -f2)
  inputs=$(find "$work" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    printf '%-18s %10s executions in %s s, coverage %s, %s new inputs\n' \
      "$target" "${executions:-?}" "$seconds" "${coverage:-?}" "$inputs"
  else
    failed+=("$target")
    printf '%-18s FAILED (exit %s) after %s executions; log %s\n' "$target" "$status" "${executions:-?}" "$log"
    (grep -E 'ERROR|runtime error|check failed|SUMMARY|Test unit written' "$log" || true) | head -n 20 | sed 's/^/    /'
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "== fuzz: findings in ${failed[*]}; the inputs are in $build/artifacts/" >&2
  exit 1
fi
echo "== fuzz: no finding in ${#targets[@]} targets"
