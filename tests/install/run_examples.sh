#!/usr/bin/env bash
# Runs the library's examples the way the README tells a newcomer to: against the device
# simulator on a pseudo-terminal. Every wait here blocks on the programs' output, bounded by a
# generous time-out, so a hung example fails the test instead of holding it.
set -euo pipefail
bin=$1
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Starts the simulator with the given options and sets `device` to the path it prints. The
# pipe from its output stays open, so that it may go on writing.
start_simulator() {
    local output="$work/simulator${#pids[@]}" from
    mkfifo "$output"
    "$bin/brinomar-devsim" "$@" >"$output" &
    pids+=($!)
    exec {from}<"$output"
    read -r -t 20 device <&"$from" || fail "the simulator printed no device"
}

start_simulator
out=$("$bin/kivo-request" "$device") || fail "kivo-request: $out"
[ "$out" = "US answered OK" ] || fail "kivo-request printed: $out"

out=$(KIVO_COM7="$device" "$bin/kivo-ports")
grep -q "^COM7 *$device .*Pseudo-terminal" <<<"$out" || fail "kivo-ports printed: $out"
out=$(KIVO_COM7=$'/dev/null\e[2J' "$bin/kivo-ports")
[[ $out == *'/dev/null\x1b[2J'* ]] || fail "kivo-ports printed: $out"
# Without sysfs (only root can hide it, in a mount namespace of its own) the ports cannot be
# looked for: that is said and is no success, and the ports given in the environment still show.
hide_sysfs='mount -t tmpfs none /sys && exec "$0" "$@"'
if unshare --mount --propagation private sh -c "$hide_sysfs" true 2>/dev/null; then
    if out=$(KIVO_COM7="$device" unshare --mount --propagation private sh -c "$hide_sysfs" \
        "$bin/kivo-ports" 2>&1); then
        fail "kivo-ports without sysfs succeeded: $out"
    fi
    [[ $out == *"cannot look for serial ports: No such file or directory"* ]] ||
        fail "kivo-ports without sysfs printed: $out"
    grep -q "^COM7 *$device " <<<"$out" || fail "kivo-ports without sysfs printed: $out"
fi

# Short of descriptors the watch cannot be kept: that is said at once instead of spun on.
if out=$(
    ulimit -n 4
    exec 3>&- 4>&- 5>&-
    timeout 20 "$bin/kivo-ports" --watch 2>&1
); then
    fail "kivo-ports --watch without descriptors succeeded: $out"
fi
[[ $out == *"cannot watch for ports"* ]] || fail "kivo-ports --watch without descriptors: $out"

# The terminal: type a greeting, expect the answer echoed and the data trigger's report (in
# either order), then end the input.
mkfifo "$work/keys" "$work/screen"
"$bin/kivo-terminal" "$device" <"$work/keys" >"$work/screen" 2>&1 &
terminal=$!
pids+=($terminal)
exec 4>"$work/keys" 5<"$work/screen"
echo US >&4
report='kivo-terminal: "OK" received'
seen=""
until [[ $seen == *"$report"* && ${seen/"$report"/} == *OK* ]]; do
    IFS= read -r -t 20 -N 1 char <&5 || fail "kivo-terminal showed: $seen"
    seen+=$char
done
exec 4>&-
wait "$terminal" || fail "kivo-terminal did not end cleanly at the end of input"

start_simulator --silent
if out=$("$bin/kivo-request" "$device" US OK 1); then
    fail "kivo-request reported an answer from a silent device: $out"
fi
[ "$out" = "no OK within 1 s" ] || fail "kivo-request printed: $out"

out=$("$bin/kivo-request" /dev/kivo-no-such-port 2>&1) && fail "kivo-request opened a missing port"
grep -q "comport doesn't exist" <<<"$out" || fail "kivo-request printed: $out"

# Asked for help, each example shows its usage on standard output and succeeds; arguments it
# cannot use give the usage on standard error and exit code 2, before any port is opened.
for example in kivo-request kivo-terminal kivo-ports; do
    out=$("$bin/$example" --help 2>/dev/null) || fail "$example --help failed"
    [[ $out == "usage: $example"* ]] || fail "$example --help printed: $out"
done
expect_usage() {
    local rc=0 out
    out=$("$@" 2>&1 </dev/null) || rc=$?
    [ "$rc" = 2 ] && [[ $out == usage:* ]] || fail "$* ended with $rc: $out"
}
expect_usage "$bin/kivo-request" "$device" US OK 1x
expect_usage "$bin/kivo-request" "$device" US OK 99999999999
expect_usage "$bin/kivo-request" "$device" US OK 1 surplus
expect_usage "$bin/kivo-terminal" "$device" OK surplus
expect_usage "$bin/kivo-ports" --list
echo "examples ran"
