#!/usr/bin/env bash
# Builds the updater and shows what it does with the example firmware.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target brinomar-flash
build/bin/brinomar-flash --listing examples/firmware.hex
