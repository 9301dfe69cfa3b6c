// What the soak tests share: their lengths, set from the environment for long local runs, the
// count of the process's threads and descriptors that each checks is level at the end, and a
// port component on a pseudo-terminal whose far end echoes.
#pragma once

#include "comm/platform/portmap.h"
#include "comm/port/kvport.h"
#include "tests/fakes/pty_far_end.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace kivo::testing {

// A positive number from the environment variable `name`, else `fallback`.
inline uint32_t EnvNumber(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    const long value = text != nullptr ? std::atol(text) : 0;
    return value > 0 ? static_cast<uint32_t>(value) : fallback;
}

// The entries of a directory such as /proc/self/task or /proc/self/fd.
inline size_t EntriesIn(const char* directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

// The port `number`, at 115200 baud, names the slave of an echoing far end; it is closed and
// its number given back after each test.
class EchoedPortTest : public ::testing::Test {
protected:
    explicit EchoedPortTest(int number) : number_(number) {}
    void SetUp() override {
        ASSERT_FALSE(echo_.SlavePath().empty());
        ASSERT_EQ(RegisterComPort(number_, echo_.SlavePath()), 0);
        port_.SetComNumber(static_cast<uint16_t>(number_));
        port_.SetBaud(115200);
    }
    void TearDown() override {
        port_.SetOpen(false);
        UnregisterComPort(number_);
    }

    TPtyFarEnd echo_;
    TKvdComPort port_;

private:
    const int number_;
};

} // namespace kivo::testing
