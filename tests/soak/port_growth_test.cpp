// A port kept busy for a long time must not make the process grow. One test turns triggers,
// handlers, tracing and logging over and reopens the port now and then, with a block out and
// back through a wait each round; the other moves blocks out and back as fast as it can and
// checks every byte. After a warm-up of a quarter of the run time (the allocator, the queues
// and the threads' descriptors settle), resident memory, descriptors and threads stay level
// for the run time. KIVO_GROWTH_MS sets the run time (2000 ms by default).
#include "comm/dispatch/kwuser.h"
#include "comm/platform/portmap.h"
#include "comm/port/kvport.h"
#include "comm/util/oomisc.h"
#include "tests/fakes/message_pump.h"
#include "tests/fakes/pty_far_end.h"
#include "tests/soak/soak_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

namespace kivo::testing {
namespace {

constexpr int kPortNumber = 44;
constexpr uint32_t kPumpMs = 5000;
// The resident memory a run may add after its warm-up: allocator arenas and pages touched late.
// A ring or a thread's state lost per round or per reopen goes far beyond it.
constexpr long kMemorySlackKiB = 1024;

std::chrono::milliseconds GrowthRunTime() {
    return std::chrono::milliseconds(EnvNumber("KIVO_GROWTH_MS", 2000));
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

struct TProcessSize {
    long residentKiB = ResidentKiB();
    size_t descriptors = EntriesIn("/proc/self/fd");
    size_t threads = EntriesIn("/proc/self/task");
};

class PortGrowth : public EchoedPortTest {
public:
    PortGrowth() : EchoedPortTest(kPortNumber) {}
    void OnData(TKvdCustomComPort*, uint16_t) {}
    void OnTimer(TKvdCustomComPort*, uint16_t) {}

protected:
    // The process's size with the port closed, once the closed port's threads, which leave
    // detached, have gone.
    TProcessSize ClosedSize() {
        port_.SetOpen(false);
        EXPECT_TRUE(PumpUntil([&] { return EntriesIn("/proc/self/task") <= threads_; }, kPumpMs));
        return TProcessSize();
    }

    // Runs `round` for a quarter of the run time, takes the process's size, runs it for the
    // whole run time more and compares.
    void ExpectLevel(const std::function<void(uint32_t)>& round) {
        using Clock = std::chrono::steady_clock;
        const auto runTime = GrowthRunTime();
        uint32_t number = 0;
        auto runUntil = [&](Clock::time_point end) {
            while (Clock::now() < end && !HasFatalFailure()) {
                round(number++);
            }
        };
        runUntil(Clock::now() + runTime / 4);
        const TProcessSize before = ClosedSize();
        runUntil(Clock::now() + runTime);
        const TProcessSize after = ClosedSize();
        EXPECT_EQ(after.threads, before.threads) << number << " rounds";
        EXPECT_EQ(after.descriptors, before.descriptors) << number << " rounds";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The sanitizers hold freed memory back; they find lost memory themselves.
        EXPECT_LE(after.residentKiB, before.residentKiB + kMemorySlackKiB) << number << " rounds";
#endif
    }

    const size_t threads_ = EntriesIn("/proc/self/task"); // the far end's included
};

TEST_F(PortGrowth, TriggersHandlersLogsAndReopeningsLeaveTheProcessLevel) {
    ExpectLevel([this](uint32_t number) {
        if (number % 10 == 0) {
            port_.SetOpen(false);
            ASSERT_TRUE(PumpUntil([&] { return port_.PortState() == psClosed; }, kPumpMs));
        }
        if (number % 2 == 0) {
            port_.SetOnTriggerData(TTriggerDataEvent::Bind<&PortGrowth::OnData>(this));
            port_.SetOnTriggerTimer(TTriggerTimerEvent::Bind<&PortGrowth::OnTimer>(this));
        } else {
            port_.SetOnTriggerData({});
            port_.SetOnTriggerTimer({});
        }
        port_.SetOpen(true);
        const uint16_t data = port_.AddDataTrigger("END", false);
        const uint16_t timer = port_.AddTimerTrigger();
        port_.SetTimerTrigger(timer, 1, true);
        const uint16_t sent = port_.AddStatusTrigger(skOutSent);
        port_.SetStatusTrigger(sent, 0, true);
        if (number % 10 == 2) {
            port_.InitLogging(10000);
            port_.InitTracing(1000);
        }
        port_.PutString(std::to_string(number) + std::string(200, '.') + "END");
        ASSERT_TRUE(port_.WaitForString("END", Secs2Ticks(5), true, false)) << number;
        port_.RemoveTrigger(sent);
        port_.RemoveTrigger(timer);
        port_.RemoveTrigger(data);
        if (number % 10 == 7) {
            port_.AbortLogging();
            port_.AbortTracing();
        }
    });
}

TEST_F(PortGrowth, ALongDataFlowArrivesWholeAndLeavesTheProcessLevel) {
    std::string block(4000, '\0');
    std::string back(block.size(), '\0');
    ExpectLevel([&](uint32_t number) {
        port_.SetOpen(true);
        TKvdBaseDispatcher* d = port_.Dispatcher();
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((number * 7 + i) & 0xFF);
        }
        ASSERT_EQ(port_.PutBlock(block.data(), static_cast<uint16_t>(block.size())), 0);
        ASSERT_TRUE(PumpUntil([&] { return port_.InBuffUsed() >= block.size(); }, kPumpMs,
                              [&] { return d; }))
            << number;
        port_.GetBlock(back.data(), static_cast<uint16_t>(back.size()));
        ASSERT_EQ(back, block) << number;
    });
}

} // namespace
} // namespace kivo::testing
