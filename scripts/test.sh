#!/usr/bin/env bash
# Every test, as the README and CI run it, in stages whose wall times are printed at the end:
#   packages    scripts/install-deps.sh
#   build/tests the normal build and its whole suite: the library's test programs, the simulator's own tests,
#               the frontends (scanimage, scanadf, saned, python-sane, libinsane, Image::Sane, and simple-scan and
#               XSane under Xvfb), the install, the documentation's examples, the short soak, valgrind's memcheck
#   release     every target built in Release as scripts/bench.sh and scripts/soak.sh configure it, since gcc
#               warns about other things at -O3 and every warning is an error
#   deb/rpm     scripts/package.sh (the .debs and .rpms into dist/), then tests/package/package_test.sh: their
#               contents, lintian and rpmlint, the dpkg life cycle in a throwaway root, the extracted packages
#               scanning as the build tree does
#   asan, tsan  the library's test programs only (unit_tests integration_tests config_tests),
#               built and run under AddressSanitizer+UndefinedBehaviorSanitizer and under
#               ThreadSanitizer: they start the sanitized simulator and reach every thread and allocation path
#               of the library, and the unit tests replay every fuzz seed and finding
#   fuzz        scripts/fuzz.sh, KELVRA_FUZZ_SECONDS (8 here) per target from its seeds
# KELVRA_SKIP_RELEASE=1, KELVRA_SKIP_PACKAGING=1, KELVRA_SKIP_SANITIZERS=1 and KELVRA_SKIP_FUZZ=1 leave those
# stages out.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
library_tests=(unit_tests integration_tests config_tests)
times=()
start=$SECONDS

report() {
  local status=$?
  echo "== stage wall times"
  printf '%s\n' "${times[@]}"
  printf '%-14s %3d:%02d  %s\n' total $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60)) \
    "$([ "$status" = 0 ] && echo "all tests passed" || echo "FAILED (exit $status)")"
}
trap report EXIT

# stage NAME COMMAND...: runs one stage and keeps its wall time.
stage() {
  local begin=$SECONDS
  echo "== $1"
  "${@:2}"
  times+=("$(printf '%-14s %3d:%02d' "$1" $(((SECONDS - begin) / 60)) $(((SECONDS - begin) % 60)))")
}
# build DIR SANITIZER [TARGET...]
build() {
  cmake -S "$top" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_SANITIZE="$2" > /dev/null
  cmake --build "$1" -j"$jobs" ${3:+--target "${@:3}"}
}
# release DIR: every target, configured as scripts/bench.sh and scripts/soak.sh configure theirs.
release() {
  cmake -S "$top" -B "$1" -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$1" -j"$jobs"
}
suite() { ctest --test-dir "$1" --output-on-failure -j"$jobs" --timeout 300; }

stage packages "$top/scripts/install-deps.sh"
stage build build "$top/build" ""
stage tests suite "$top/build"
if [ "${KELVRA_SKIP_RELEASE:-0}" != 1 ]; then
  stage "release build" release "$top/build-release"
fi
if [ "${KELVRA_SKIP_PACKAGING:-0}" != 1 ]; then
  stage "deb/rpm build" "$top/scripts/package.sh"
  stage "deb/rpm tests" env KELVRA_BINARY_DIR="$top/build" bash "$top/tests/package/package_test.sh" "$top/dist"
fi
if [ "${KELVRA_SKIP_SANITIZERS:-0}" != 1 ]; then
  # (Assignments before a function call are exported for that call alone.)
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    stage "asan build" build "$top/build-asan" address "${library_tests[@]}"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    stage "asan tests" suite "$top/build-asan"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 stage "tsan build" build "$top/build-tsan" thread "${library_tests[@]}"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 stage "tsan tests" suite "$top/build-tsan"
fi
if [ "${KELVRA_SKIP_FUZZ:-0}" != 1 ]; then
  stage fuzz env KELVRA_FUZZ_SECONDS="${KELVRA_FUZZ_SECONDS:-8}" "$top/scripts/fuzz.sh"
fi
