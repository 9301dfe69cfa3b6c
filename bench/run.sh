#!/usr/bin/env bash
# Runs every benchmark of a build and prints its results.
# Usage: bench/run.sh [build-dir]   (default: build; configure it with -DKIVO_BUILD_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shopt -s nullglob
benches=("$build"/bin/bench_*)
if [ ${#benches[@]} -eq 0 ]; then
    echo "No benchmarks in $build/bin: configure with -DKIVO_BUILD_BENCH=ON and build first." >&2
    exit 1
fi
status=0
for bench in "${benches[@]}"; do
    echo "== $(basename "$bench")"
    "$bench" || { echo "$(basename "$bench") failed" >&2; status=1; }
    echo
done
exit $status
