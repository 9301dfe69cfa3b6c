#!/usr/bin/env bash
# Builds everything and runs the whole test suite, then the library tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
# Exits non-zero on any failure. KIVO_SANITIZERS=0 skips the sanitizer builds.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
run_suite() { # build-dir, extra cmake arguments...
    local dir=$1
    shift
    # A build directory configured earlier keeps its generator.
    local generator=(-G Ninja)
    [ ! -f "$dir/CMakeCache.txt" ] || generator=()
    cmake -S . -B "$dir" "${generator[@]}" -DKIVO_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_suite build -DKIVO_LIBRARY_ONLY=OFF
if [ "${KIVO_SANITIZERS:-1}" != 0 ]; then
    run_suite build-asan -DKIVO_SANITIZE=address -DKIVO_LIBRARY_ONLY=ON
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_suite build-tsan -DKIVO_SANITIZE=thread -DKIVO_LIBRARY_ONLY=ON
fi
echo "All tests passed."
