// Helpers of the serial device tests: a pseudo-terminal pair with the slave end open through
// the serial device access.
#pragma once

#include "comm/platform/pty.h"
#include "comm/platform/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kivo::testing {

// The master end plays the far end of the line; `line` is the slave end as a port opens it.
struct TLinePair {
    TLinePair() {
        EXPECT_EQ(PtyOpen(pty), 0);
        line = SerialOpen(pty.SlavePath);
        EXPECT_GT(line, 0) << "last error " << SerialLastError();
        SerialSetEventMask(line, ev_RxChar | ev_Err | ev_Break);
        SerialSetEventMask(pty.Master, ev_RxChar);
    }
    ~TLinePair() {
        if (line > 0) {
            SerialClose(line);
        }
        PtyClose(pty);
    }
    TLinePair(const TLinePair&) = delete;
    TLinePair& operator=(const TLinePair&) = delete;

    TPtyPair pty;
    int32_t line = 0;
};

// Reads exactly `count` bytes from `handle`, waiting for each arrival; stops early on a wait
// that reports nothing within `timeoutUs`.
inline std::string ReadExactly(int32_t handle, size_t count, int64_t timeoutUs = 2000000) {
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
        const size_t want = std::min(count - got.size(), sizeof buffer);
        const int n = SerialRead(handle, buffer, static_cast<int32_t>(want));
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
            continue;
        }
        uint32_t events = 0;
        if (SerialWaitEvent(handle, events, timeoutUs) != 0 || events == 0) {
            break;
        }
    }
    return got;
}

} // namespace kivo::testing
