#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs one of them for a while.
#   scripts/fuzz.sh TARGET [SECONDS]      e.g. scripts/fuzz.sh loadfile 300
# New inputs the fuzzer finds collect in build-fuzz/corpus/TARGET; the seeds in
# tests/fuzz/corpus/TARGET are only read. A crash leaves its input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
seconds=${2:-60}
scripts/deps.sh

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKIVO_BUILD_FUZZ=ON -DKIVO_BUILD_GUI=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "fuzz_$target"

corpus="build-fuzz/corpus/$target"
mkdir -p "$corpus"
options=(-max_total_time="$seconds" -print_final_stats=1 -max_len=8192
         -artifact_prefix=build-fuzz/)
if [ -f "tests/fuzz/$target.dict" ]; then
    options+=(-dict="tests/fuzz/$target.dict")
fi
"build-fuzz/bin/fuzz_$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target"
