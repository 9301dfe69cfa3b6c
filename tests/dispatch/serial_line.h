// Helpers of the serial dispatcher tests: a pseudo-terminal line whose slave end a
// TKvdWin32Dispatcher opens with its real threads, while the test plays the far end on the
// master.
#pragma once

#include "comm/dispatch/kwwin32.h"
#include "comm/platform/pty.h"
#include "comm/platform/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace kivo::testing {

constexpr uint32_t kLineBaud = 115200;

struct TPortLine {
    explicit TPortLine(uint32_t outSize = 8192) {
        EXPECT_EQ(PtyOpen(pty), 0);
        SerialSetEventMask(pty.Master, ev_RxChar);
        port = std::make_unique<TKvdWin32Dispatcher>(nullptr);
        openResult = port->InitPort(pty.SlavePath.c_str(), kLineBaud, dcbParityNone, 8, 1, 4096,
                                    outSize, true, true);
        EXPECT_EQ(openResult, 0);
    }
    ~TPortLine() {
        port.reset();
        PtyClose(pty);
    }
    TPortLine(const TPortLine&) = delete;
    TPortLine& operator=(const TPortLine&) = delete;

    int32_t far() const { return pty.Master; }

    TPtyPair pty;
    std::unique_ptr<TKvdWin32Dispatcher> port;
    int openResult = 0;
};

// Reads `count` bytes at the far end, waiting for each arrival; stops early when nothing
// arrives within `timeoutMs`.
inline std::string FarRead(int32_t far, size_t count, uint32_t timeoutMs = 3000) {
    std::string got;
    char buffer[16384];
    while (got.size() < count) {
        const size_t want = std::min(count - got.size(), sizeof buffer);
        const int n = SerialRead(far, buffer, static_cast<int32_t>(want));
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
            continue;
        }
        uint32_t events = 0;
        if (SerialWaitEvent(far, events, int64_t{timeoutMs} * 1000) != 0 || events == 0) {
            break;
        }
    }
    return got;
}

inline bool FarWrite(int32_t far, const std::string& bytes) {
    return SerialWrite(far, bytes.data(), static_cast<int32_t>(bytes.size())) ==
           static_cast<int>(bytes.size());
}

// Takes `count` bytes out of the dispatcher's input ring, sleeping between arrivals on the
// wake-up the dispatch thread gives the input waiter, or with `waitForDevice` in WaitForInput;
// stops early after `timeoutMs`.
inline std::string PortRead(TKvdBaseDispatcher& port, size_t count, uint32_t timeoutMs = 3000,
                            bool waitForDevice = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    port.inputWaiter = GetCurrentThreadId();
    std::string got;
    char buffer[8192];
    while (got.size() < count) {
        const uint32_t ready =
            std::min<uint32_t>({port.InBuffUsed(), static_cast<uint32_t>(count - got.size()),
                                static_cast<uint32_t>(sizeof buffer)});
        if (ready > 0 && port.GetBlock(buffer, ready) == static_cast<int>(ready)) {
            got.append(buffer, ready);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (waitForDevice) {
            port.WaitForInput(static_cast<uint32_t>(left.count()));
        } else {
            WaitMessage(static_cast<uint32_t>(left.count()));
        }
    }
    port.inputWaiter = 0;
    return got;
}

// A byte pattern that shows a lost, doubled or swapped byte.
inline std::string Pattern(size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

} // namespace kivo::testing
