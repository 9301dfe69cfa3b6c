#!/usr/bin/env bash
# Starts the update window under a virtual X server and saves a picture of it.
#   scripts/screenshot.sh [FILE.png] [--diagnostics]     (default: build/screenshot.png)
# KIVO_BUILD_DIR names another build directory than build.
# --diagnostics shows the controls the window keeps hidden.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
# The file and the option in either order. A relative file is where the script was started,
# not in the source tree the script moves to.
out=
diagnostics=()
for arg in "$@"; do
    case $arg in
    --diagnostics) diagnostics=(--diagnostics) ;;
    -*) echo "screenshot.sh: unknown option $arg; usage: $0 [FILE.png] [--diagnostics]" >&2; exit 64 ;;
    *)
        [ -z "$out" ] || { echo "screenshot.sh: more than one file: $out, $arg" >&2; exit 64; }
        out=$arg
        ;;
    esac
done
if [ -n "$out" ] && [ "${out:0:1}" != / ]; then
    out=$PWD/$out
fi
cd "$(dirname "$0")/.."
scripts/deps.sh xvfb xauth
build=${KIVO_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target brinomar-update
out=${out:-$build/screenshot.png}
xvfb-run -a -s "-screen 0 1024x768x24" "$build"/bin/brinomar-update --screenshot="$out" \
    "${diagnostics[@]}"
echo "Saved $out"
