#!/usr/bin/env python3
"""The pyserial side of bench_serial: does one kind of work on the device and prints what it
measured (round trip: one time in microseconds a line; bulk and stop-and-wait: the seconds).
Usage: pyserial_client.py DEVICE roundtrip|bulk|stopandwait SETTLE_MS WARMUP SAMPLES BULK CHUNK
       BLOCKS BLOCK
"""
import sys
import threading
import time

import serial


def pattern(size):
    """The same pseudo-random bytes as the C++ clients send."""
    state = 1
    out = bytearray(size)
    for i in range(size):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = (state >> 16) & 0xFF
    return bytes(out)


def round_trip(port, warmup, samples):
    times = []
    for i in range(warmup + samples):
        out = bytes([i & 0xFF])
        start = time.perf_counter_ns()
        port.write(out)
        if port.read(1) != out:
            sys.exit(2)
        if i >= warmup:
            times.append((time.perf_counter_ns() - start) / 1000)
    print("\n".join(f"{t:.3f}" for t in times))


def bulk(port, total, chunk):
    data = pattern(chunk)
    failed = []

    def send():
        try:
            for done in range(0, total, chunk):
                port.write(data[:min(chunk, total - done)])
        except serial.SerialException:
            failed.append(True)

    start = time.perf_counter()
    sender = threading.Thread(target=send)
    sender.start()
    doubled = data + data
    received = 0
    while received < total:
        got = port.read(min(max(port.in_waiting, 1), total - received, chunk))
        at = received % chunk
        if not got or got != doubled[at:at + len(got)]:
            sys.exit(2)
        received += len(got)
    sender.join()
    if failed:
        sys.exit(2)
    print(f"{time.perf_counter() - start:.6f}")


def stop_and_wait(port, blocks, block):
    data = pattern(64 * block)
    start = time.perf_counter()
    for i in range(blocks):
        at = i % 64 * block
        port.write(data[at:at + block])
        if port.read(1) != b"K":
            sys.exit(2)
    print(f"{time.perf_counter() - start:.6f}")


def main():
    device, phase = sys.argv[1], sys.argv[2]
    settle_ms, warmup, samples, total, chunk, blocks, block = map(int, sys.argv[3:10])
    port = serial.Serial(device, 115200, timeout=2)
    time.sleep(settle_ms / 1000)
    if phase == "roundtrip":
        round_trip(port, warmup, samples)
    elif phase == "bulk":
        bulk(port, total, chunk)
    else:
        stop_and_wait(port, blocks, block)
    port.close()


main()
