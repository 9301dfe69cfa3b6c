#!/usr/bin/env bash
# How much longer a whole update takes than the line needs for the bytes it exchanges.
# Runs brinomar-flash with the example firmware against brinomar-devsim pacing the line at BAUD,
# RUNS times, and prints each run's time and its ratio to the wire time.
# Usage: bench/update_wire_ratio.sh [build-dir] [baud] [runs]   (default: build 115200 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
baud=${2:-115200}
runs=${3:-5}
devsim="$build/bin/brinomar-devsim"
flash="$build/bin/brinomar-flash"
for program in "$devsim" "$flash"; do
    [ -x "$program" ] || { echo "$program is not built" >&2; exit 1; }
done

# One greeting and its answer, the start byte, 490 blocks of 128 bytes, 489 acknowledgements
# and the checksum, one after the other, ten bits a byte.
bytes=$((2 + 2 + 1 + 490 * 128 + 489 + 1))
wire=$(awk -v b="$bytes" -v baud="$baud" 'BEGIN { printf "%.6f", b * 10 / baud }')
echo "wire time of $bytes bytes at $baud baud: ${wire} s"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
best=""
for run in $(seq "$runs"); do
    coproc DEVSIM { exec "$devsim" --pace "$baud" 2>/dev/null; }
    devsim_pid=$DEVSIM_PID
    read -r line <&"${DEVSIM[0]}"
    start=$(date +%s.%N)
    "$flash" --port "$line" --baud "$baud" --no-progress examples/firmware.hex >"$work/log"
    end=$(date +%s.%N)
    kill "$devsim_pid"
    wait "$devsim_pid" || true
    tail -n 1 "$work/log" | grep -qx "CheckSum OK" || { echo "run $run failed" >&2; exit 1; }
    ratio=$(awk -v s="$start" -v e="$end" -v w="$wire" 'BEGIN { printf "%.4f", (e - s) / w }')
    awk -v s="$start" -v e="$end" -v r="$ratio" -v n="$run" \
        'BEGIN { printf "run %d: %.3f s, %.2f %% over the wire time\n", n, e - s, (r - 1) * 100 }'
    if [ -z "$best" ] || awk -v a="$ratio" -v b="$best" 'BEGIN { exit !(a < b) }'; then
        best=$ratio
    fi
done
awk -v r="$best" 'BEGIN { printf "best: %.2f %% over the wire time\n", (r - 1) * 100 }'
