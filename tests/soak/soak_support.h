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

// The port `number`, at 115200 baud, names the slave of an echoing far end for as long as this
// lives.
class TEchoedPort {
public:
    explicit TEchoedPort(int number) : number_(number) {
        registered_ = !echo.SlavePath().empty() && RegisterComPort(number, echo.SlavePath()) == 0;
        port.SetComNumber(static_cast<uint16_t>(number));
        port.SetBaud(115200);
    }
    ~TEchoedPort() {
        port.SetOpen(false);
        if (registered_) {
            UnregisterComPort(number_);
        }
    }
    TEchoedPort(const TEchoedPort&) = delete;
    TEchoedPort& operator=(const TEchoedPort&) = delete;

    bool Registered() const { return registered_; }

    TPtyFarEnd echo;
    TKvdComPort port;

private:
    const int number_;
    bool registered_ = false;
};

// An echoed port for each test, closed after it.
class EchoedPortTest : public ::testing::Test {
protected:
    explicit EchoedPortTest(int number) : line_(number) {}
    void SetUp() override { ASSERT_TRUE(line_.Registered()); }
    void TearDown() override { port_.SetOpen(false); }

private:
    TEchoedPort line_;

protected:
    TPtyFarEnd& echo_ = line_.echo;
    TKvdComPort& port_ = line_.port;
};

} // namespace kivo::testing
