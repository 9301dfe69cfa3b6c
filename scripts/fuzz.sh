#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs them for a while each, two at a time.
#   scripts/fuzz.sh [TARGET|all] [SECONDS]     e.g. scripts/fuzz.sh all 600, scripts/fuzz.sh str0
# Targets: loadfile (HEX loader), str0 (string tables), dispatchlog (log ring and renderers),
# trace (trace ring and its file), triggers (receive step and trigger checks).
# The build goes to $KIVO_FUZZ_BUILD (default build-fuzz). New inputs the fuzzer finds collect
# in <build>/corpus/TARGET; the seeds in tests/fuzz/corpus/TARGET are only read. A failing
# input is left in <build>/artifacts/, each run's output in <build>/logs/TARGET.log, and the
# script ends with the execution count of every target and exits non-zero if one failed.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
cd "$(dirname "$0")/.."
all_targets=(loadfile str0 dispatchlog trace triggers)
choice=${1:-all}
seconds=${2:-60}
build=${KIVO_FUZZ_BUILD:-build-fuzz}
if [ "$choice" = all ]; then
    targets=("${all_targets[@]}")
else
    targets=("$choice")
fi
scripts/deps.sh

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DKIVO_BUILD_FUZZ=ON -DKIVO_LIBRARY_ONLY=ON -DKIVO_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/artifacts" "$build/logs"

run_target() { # target
    local target=$1
    local corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    local options=(-max_total_time="$seconds" -print_final_stats=1 -max_len=8192
                   -artifact_prefix="$build/artifacts/$target-")
    if [ -f "tests/fuzz/$target.dict" ]; then
        options+=(-dict="tests/fuzz/$target.dict")
    fi
    "$build/bin/fuzz_$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target" \
        >"$build/logs/$target.log" 2>&1
}

status=0
pids=()
for target in "${targets[@]}"; do
    run_target "$target" &
    pids+=($!)
    if [ ${#pids[@]} -ge 2 ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done

for target in "${targets[@]}"; do
    log="$build/logs/$target.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if grep -q "^Done [0-9]* runs" "$log"; then
        echo "$target: ${runs:-?} executions in ${seconds} s, clean"
    else
        echo "$target: FAILED after ${runs:-?} executions, see $log"
    fi
done
exit $status
