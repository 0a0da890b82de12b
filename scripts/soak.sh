#!/bin/bash
# Builds in Release and runs the full soak: 1000 open/scan/close cycles and
# 10,000 enumerations against the simulator, printing what the process holds
# at 1, 10, 100 and the last. Exits non-zero when a figure does not stay flat.
# Usage: scripts/soak.sh [soak arguments, e.g. --cycles 5000]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KELVRA_SOAK_BUILD:-$root/build-soak-release}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target soak kelvra-sim
"$build/bin/soak" --cycles 1000 --enumerations 10000 "$@"
