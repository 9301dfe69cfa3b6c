#!/usr/bin/env bash
# The long proof runs that do not belong in every test run:
#   - the port soak, KIVO_SOAK_CYCLES (default 1000) open/close cycles of a port component with
#     traffic, triggers and closes from inside handlers and waits, under AddressSanitizer with
#     leak checking and under ThreadSanitizer, descriptors and threads counted before and after;
#   - in the same runs, the port stress: several threads on one port for KIVO_CHAOS_MS
#     (default 30000) ms with the seed KIVO_CHAOS_SEED (default 1), and the growth check: a busy
#     port for KIVO_GROWTH_MS (default 30000) ms per load leaves descriptors and threads level
#     (resident memory is checked too in builds without a sanitizer);
#   - the fault matrix with brinomar-flash and the simulator built with AddressSanitizer, so
#     that a leak or a memory error in any faulty run fails its case.
# Builds in build-soak-asan and build-soak-tsan; exits non-zero on any failure.
# Fuzzing has its own script: scripts/fuzz.sh.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
cd "$(dirname "$0")/.."
export KIVO_SOAK_CYCLES=${KIVO_SOAK_CYCLES:-1000}
export KIVO_CHAOS_MS=${KIVO_CHAOS_MS:-30000}
export KIVO_GROWTH_MS=${KIVO_GROWTH_MS:-30000}
scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build-soak-asan -G Ninja -DKIVO_SANITIZE=address -DKIVO_BUILD_GUI=OFF \
    -DKIVO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-soak-asan -j "$jobs" --target test_soak test_faults brinomar-flash \
    brinomar-devsim
export ASAN_OPTIONS=detect_leaks=1
build-soak-asan/bin/test_soak
build-soak-asan/bin/test_faults

cmake -S . -B build-soak-tsan -G Ninja -DKIVO_SANITIZE=thread -DKIVO_LIBRARY_ONLY=ON >/dev/null
cmake --build build-soak-tsan -j "$jobs" --target test_soak
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-soak-tsan/bin/test_soak
echo "Soak passed: $KIVO_SOAK_CYCLES cycles under both sanitizers, and the fault matrix."
