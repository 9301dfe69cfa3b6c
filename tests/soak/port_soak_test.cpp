// Opens and closes a port component on a pseudo-terminal over and over, with traffic, a data
// trigger, a length trigger and its handlers, closing it in turn after a wait, from inside a
// data-trigger handler and from inside a wait. Every cycle must end closed with the bytes in
// order, and the process must hold as many descriptors and threads at the end as after the
// first cycle. KIVO_SOAK_CYCLES sets the number of cycles (50 by default; scripts/soak.sh runs
// 1000 under the sanitizers).
#include "comm/platform/portmap.h"
#include "comm/platform/winmsg.h"
#include "comm/port/kvport.h"
#include "comm/util/oomisc.h"
#include "tests/fakes/message_pump.h"
#include "tests/fakes/pty_far_end.h"
#include "tests/soak/soak_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kivo::testing {
namespace {

constexpr int kPortNumber = 41;
constexpr uint32_t kPumpMs = 5000;

int SoakCycles() {
    return static_cast<int>(EnvNumber("KIVO_SOAK_CYCLES", 50));
}

enum class TCloseFrom { AfterWait, DataHandler, Wait };

class PortSoak : public EchoedPortTest {
protected:
    PortSoak() : EchoedPortTest(kPortNumber) {}
    void SetUp() override {
        EchoedPortTest::SetUp();
        port_.SetTriggerLength(16);
        port_.SetOnTriggerAvail(TTriggerAvailEvent::Bind<&PortSoak::OnAvail>(this));
        port_.SetOnTriggerData(TTriggerDataEvent::Bind<&PortSoak::OnData>(this));
        port_.SetOnWaitChar(TWaitCharEvent::Bind<&PortSoak::OnWaitChar>(this));
    }

    bool PumpUntil(const std::function<bool()>& done) {
        return kivo::testing::PumpUntil(done, kPumpMs);
    }

    // Takes what it is told of, except while a wait is to find the bytes.
    void OnAvail(TKvdCustomComPort* cp, uint16_t count) {
        if (closeFrom_ != TCloseFrom::DataHandler) {
            return;
        }
        std::string bytes(count, '\0');
        cp->GetBlock(bytes.data(), count);
        received_ += bytes;
    }
    void OnData(TKvdCustomComPort* cp, uint16_t handle) {
        if (handle == okTrigger_ && closeFrom_ == TCloseFrom::DataHandler) {
            cp->SetOpen(false);
        }
    }
    void OnWaitChar(TKvdCustomComPort* cp, char c) {
        received_ += c;
        if (c == 'O' && closeFrom_ == TCloseFrom::Wait) {
            cp->SetOpen(false);
        }
    }

    // One open, some traffic, one close; the bytes the port took must be the echo's start.
    void Cycle(int number) {
        closeFrom_ = static_cast<TCloseFrom>(number % 3);
        received_.clear();
        port_.SetOpen(true);
        if (okTrigger_ == 0) {
            okTrigger_ = port_.AddDataTrigger("OK", false);
        }
        const std::string sent = "cycle " + std::to_string(number) + std::string(100, '.') + " OK";
        port_.PutString(sent);
        if (closeFrom_ == TCloseFrom::DataHandler) {
            ASSERT_TRUE(PumpUntil([&] { return port_.PortState() == psClosed; })) << number;
        } else {
            const bool found = port_.WaitForString("OK", Secs2Ticks(5), true, false);
            EXPECT_EQ(found, closeFrom_ == TCloseFrom::AfterWait) << number;
            port_.SetOpen(false);
            ASSERT_TRUE(PumpUntil([&] { return port_.PortState() == psClosed; })) << number;
        }
        EXPECT_EQ(sent.compare(0, received_.size(), received_), 0) << number << ": " << received_;
    }

    uint16_t okTrigger_ = 0;
    TCloseFrom closeFrom_ = TCloseFrom::AfterWait;
    std::string received_;
};

TEST_F(PortSoak, CyclesEndClosedAndGiveBackDescriptorsAndThreads) {
    // The dispatcher's threads run detached: once a close has completed, the last of them may
    // still be on its way out of the system, on a busy machine for a while, and still hold the
    // device's descriptors. The counts are compared once they have gone.
    const size_t threads = EntriesIn("/proc/self/task");
    auto threadsGone = [&] {
        return PumpUntil([&] { return EntriesIn("/proc/self/task") <= threads; });
    };
    Cycle(0);
    ASSERT_TRUE(threadsGone()) << EntriesIn("/proc/self/task") << " threads against " << threads;
    // The thread's descriptor for waits that poll the device is made at its first such wait
    // that finds no message waiting, which the first cycle may not have had: made now, it is
    // not counted as a cycle's. The last thread of a close may have posted on its way out.
    ASSERT_TRUE(PumpUntil([] {
        const bool made = BeginPolledWait() >= 0;
        EndPolledWait();
        return made;
    }));
    const size_t descriptors = EntriesIn("/proc/self/fd");
    const int cycles = SoakCycles();
    for (int number = 1; number < cycles && !HasFatalFailure(); ++number) {
        Cycle(number);
    }
    EXPECT_TRUE(threadsGone()) << EntriesIn("/proc/self/task") << " threads against " << threads;
    EXPECT_EQ(EntriesIn("/proc/self/fd"), descriptors);
}

} // namespace
} // namespace kivo::testing
