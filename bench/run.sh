#!/usr/bin/env bash
# Builds the benchmarks, runs them one after the other and prints their results as one table:
# the serial clients side by side on a pseudo-terminal (plain termios, the dispatcher, the port
# component, libserialport, pyserial), the port component's waits, whole updates against the
# paced simulator (brinomar-flash and a minimal termios host), sixteen updates at once, and the
# platform layer's wake-ups and delays. Each row names its target and whether it was met.
#
# Usage: bench/run.sh [BUILD-DIR]     (default build-bench; takes about five minutes)
# The benchmarks' remarks go to BUILD-DIR/bench.log. The machine should be otherwise idle:
# the load average is printed before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
scripts/deps.sh libserialport-dev python3-serial

cmake -S . -B "$build" -G Ninja -DKIVO_BUILD_BENCH=ON -DKIVO_BUILD_TESTS=OFF \
    -DKIVO_BUILD_GUI=OFF -DKIVO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

rows="$build/bench.rows"
log="$build/bench.log"
: >"$rows"
: >"$log"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
for bench in bench_serial bench_port update_pace parallel_updates wakeup_latency delay_cpu; do
    echo "running $bench ..." >&2
    echo "== $bench" >>"$log"
    "$build/bin/bench_$bench" >>"$rows" 2>>"$log" || {
        echo "bench_$bench failed, see $log" >&2
        status=1
    }
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "measurement                       side               value        ratio      target"
cat "$rows"
exit $status
