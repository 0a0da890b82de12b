#!/bin/bash
# Builds in Release, runs the benchmark and draws its plot:
#   doc/bench/results.md, doc/bench/piece_sizes.csv, doc/bench/throughput_vs_piece.png
# Usage: scripts/bench.sh [--runs N] [--quick]   (extra arguments go to kelvra-bench)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
out="$root/doc/bench"

# The plot needs Debian's matplotlib; installed here only, never on the test path.
if ! /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
    if [ "$(id -u)" = 0 ]; then
        # A fresh machine has no package lists yet.
        apt-get update -qq -o DPkg::Lock::Timeout=600
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 python3-matplotlib >/dev/null
    else
        echo "bench.sh: python3-matplotlib is missing; run: sudo apt-get install -y python3-matplotlib" >&2
        exit 1
    fi
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target kelvra-bench kelvra-sim
mkdir -p "$out"
"$build/bin/kelvra-bench" --out "$out" "$@"
/usr/bin/python3 "$root/bench/plot.py" "$out/piece_sizes.csv" "$out/throughput_vs_piece.png"
echo "bench.sh: table in $out/results.md, plot in $out/throughput_vs_piece.png"
