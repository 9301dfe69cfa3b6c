#!/usr/bin/env bash
# Builds everything, starts the device simulator and updates it with the example firmware,
# showing the log lines and the progress.
#   scripts/demo.sh          brinomar-flash in this terminal
#   scripts/demo.sh --gui    the window instead (needs a display); choose COM9 when it asks
# KIVO_BUILD_DIR names another build directory than build.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
cd "$(dirname "$0")/.."
gui=false
case "${1:-}" in
    --gui) gui=true ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--gui]" >&2; exit 64 ;;
esac
if $gui && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo.sh: no display for the window; run scripts/demo.sh without --gui" >&2
    exit 1
fi

scripts/deps.sh
build=${KIVO_BUILD_DIR:-build}
# A build directory configured earlier keeps its generator, but must build the programs.
options=(-DKIVO_LIBRARY_ONLY=OFF)
[ -f "$build/CMakeCache.txt" ] || options+=(-G Ninja)
if $gui; then
    options+=(-DKIVO_BUILD_GUI=ON)
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

# The simulator paces the line at 115200 baud, so the update takes about six seconds.
coproc DEVSIM { exec "$build"/bin/brinomar-devsim --pace 115200; }
devsim_pid=$DEVSIM_PID
trap 'kill "$devsim_pid" 2>/dev/null || true' EXIT
if ! read -r line <&"${DEVSIM[0]}"; then
    echo "demo.sh: the device simulator did not start" >&2
    exit 1
fi
echo "The simulated device is at $line"

if $gui; then
    echo "Press \"Select File\", pick examples/firmware.hex and choose COM9 for the port."
    KIVO_COM9="$line" "$build"/bin/brinomar-update
else
    "$build"/bin/brinomar-flash --port "$line" --baud 115200 --progress examples/firmware.hex
fi
