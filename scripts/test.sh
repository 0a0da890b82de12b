#!/usr/bin/env bash
# Sets up and runs every test: packages, build, the whole suite, then the
# suite again under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$top/scripts/install-deps.sh"

run_suite() {  # build-dir, sanitizer
  local build=$1 sanitizer=$2
  echo "== build $build ${sanitizer:+(sanitizer: $sanitizer)}"
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_SANITIZE="$sanitizer" >/dev/null
  cmake --build "$build" -j"$jobs"
  echo "== tests $build"
  ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
}

run_suite "$top/build" ""
if [ "${KELVRA_SKIP_SANITIZERS:-0}" != 1 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_suite "$top/build-asan" address
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite "$top/build-tsan" thread
fi
if [ -x "$top/scripts/fuzz.sh" ] && [ "${KELVRA_SKIP_FUZZ:-0}" != 1 ]; then
  "$top/scripts/fuzz.sh"
fi
echo "== all tests passed"
