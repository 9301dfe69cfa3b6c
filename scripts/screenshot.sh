#!/usr/bin/env bash
# Starts the update window under a virtual X server and saves a picture of it.
#   scripts/screenshot.sh [FILE.png] [--diagnostics]     (default: build/screenshot.png)
# KIVO_BUILD_DIR names another build directory than build.
# --diagnostics shows the controls the window keeps hidden.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh xvfb xauth
build=${KIVO_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target brinomar-update
# The file is optional: a first argument that is the option is no file name.
out=$build/screenshot.png
if [ $# -gt 0 ] && [ "$1" != --diagnostics ]; then
    out=$1
    shift
fi
xvfb-run -a -s "-screen 0 1024x768x24" "$build"/bin/brinomar-update --screenshot="$out" "$@"
echo "Saved $out"
