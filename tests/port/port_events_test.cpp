// Trigger events of the port component: which events a notification raises and in which
// order, when the component's window is served at all, and the trigger wrappers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/errors/kvexcept.h"
#include "tests/port/port_harness.h"

namespace kivo::testing {
namespace {

struct TEventLog {
    void Trigger(TKvdCustomComPort*, uint16_t msg, uint16_t handle, uint16_t data) {
        Add("Trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " +
            std::to_string(data));
    }
    // Takes the announced bytes, so that the notification counts as served.
    void Avail(TKvdCustomComPort* cp, uint16_t count) {
        std::string bytes(count, '\0');
        cp->GetBlock(bytes.data(), count);
        received += bytes;
        Add("Avail " + std::to_string(count));
    }
    void Data(TKvdCustomComPort*, uint16_t handle) { Add("Data " + std::to_string(handle)); }
    void Status(TKvdCustomComPort*, uint16_t handle) { Add("Status " + std::to_string(handle)); }
    void Timer(TKvdCustomComPort*, uint16_t handle) { Add("Timer " + std::to_string(handle)); }
    void LineError(TKvdCustomComPort*, uint16_t error, bool lineBreak) {
        Add("LineError " + std::to_string(error) + (lineBreak ? " break" : ""));
    }
    void OutbuffFree(TComponent*) { Add("OutbuffFree"); }

    void Add(std::string entry) { entries.push_back(std::move(entry)); }

    std::vector<std::string> entries;
    std::string received;
};

std::string TriggerEntry(UINT msg, uint32_t handle, uint32_t data) {
    return "Trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " +
           std::to_string(data);
}

class PortEvents : public ::testing::TestWithParam<TLineKind> {
protected:
    void SetUp() override { line.Open(); }

    TPortLine line{GetParam()};
    TEventLog log;
};

INSTANTIATE_TEST_SUITE_P(Lines, PortEvents, ::testing::Values(TLineKind::Fake, TLineKind::Pty),
                         [](const auto& info) { return LineKindName(info.param); });

TEST_P(PortEvents, AnAvailNotificationRaisesTriggerThenAvail) {
    line.port.SetOnTrigger(TTriggerEvent::Bind<&TEventLog::Trigger>(&log));
    line.port.SetOnTriggerAvail(TTriggerAvailEvent::Bind<&TEventLog::Avail>(&log));
    line.Send("hello");
    ASSERT_TRUE(line.Deliver([&] { return log.received.size() == 5; }));
    EXPECT_EQ(log.received, "hello");
    // The bytes may come in more than one notification; each is a pair.
    ASSERT_EQ(log.entries.size() % 2, 0u);
    for (size_t i = 0; i < log.entries.size(); i += 2) {
        const std::string count = log.entries[i + 1].substr(6);
        EXPECT_EQ(log.entries[i],
                  "Trigger " + std::to_string(msgTriggerAvail) + " " + count + " " + count);
    }
    EXPECT_EQ(line.port.InBuffUsed(), 0);
}

TEST_P(PortEvents, ADataNotificationCarriesThePatternLength) {
    line.port.SetTriggerLength(0);
    const uint16_t handle = line.port.AddDataTrigger("OK", false);
    line.port.SetOnTrigger(TTriggerEvent::Bind<&TEventLog::Trigger>(&log));
    line.port.SetOnTriggerData(TTriggerDataEvent::Bind<&TEventLog::Data>(&log));
    line.Send("xOK");
    ASSERT_TRUE(line.Deliver([&] { return log.entries.size() >= 2; }));
    EXPECT_EQ(log.entries, (std::vector<std::string>{TriggerEntry(msgTriggerData, handle, 2),
                                                     "Data " + std::to_string(handle)}));
}

TEST_P(PortEvents, AStatusNotificationRaisesThreeEvents) {
    line.port.SetTriggerLength(0);
    const uint16_t handle = line.port.AddStatusTrigger(skOutFree);
    line.port.SetStatusTrigger(handle, 100, true);
    line.port.SetOnTrigger(TTriggerEvent::Bind<&TEventLog::Trigger>(&log));
    line.port.SetOnTriggerStatus(TTriggerStatusEvent::Bind<&TEventLog::Status>(&log));
    line.port.SetOnTriggerOutbuffFree(TNotifyEvent::Bind<&TEventLog::OutbuffFree>(&log));
    ASSERT_TRUE(line.Deliver([&] { return log.entries.size() >= 3; }));
    EXPECT_EQ(log.entries, (std::vector<std::string>{
                               TriggerEntry(msgTriggerStatus, handle, line.port.OutBuffFree()),
                               "Status " + std::to_string(handle), "OutbuffFree"}));
}

TEST_P(PortEvents, ATimerNotificationRaisesTriggerThenTimer) {
    line.port.SetTriggerLength(0);
    const uint16_t handle = line.port.AddTimerTrigger();
    line.port.SetOnTrigger(TTriggerEvent::Bind<&TEventLog::Trigger>(&log));
    line.port.SetOnTriggerTimer(TTriggerTimerEvent::Bind<&TEventLog::Timer>(&log));
    line.port.SetTimerTrigger(handle, 0, true);
    ASSERT_TRUE(line.Deliver([&] { return log.entries.size() >= 2; }));
    EXPECT_EQ(log.entries, (std::vector<std::string>{TriggerEntry(msgTriggerTimer, handle, 0),
                                                     "Timer " + std::to_string(handle)}));
}

// The component's window is served only while one of its trigger events is assigned.
class TCountingPort : public TTestPort {
public:
    void Trigger(uint16_t msg, uint16_t handle, uint16_t data) override {
        ++notifications;
        TTestPort::Trigger(msg, handle, data);
    }
    int notifications = 0;
};

void Ignore(TKvdCustomComPort*, uint16_t, uint16_t, uint16_t) {}

TEST(PortHandlerFlag, TheWindowGetsNotificationsOnlyWhileSomebodyListens) {
    TCountingPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    TFakeDispatcher* fake = port.Fake();
    fake->ScriptInput("ab");
    fake->ExtractData();
    fake->CheckReceiveTriggers();
    EXPECT_EQ(port.notifications, 0);

    port.SetOnTrigger(TTriggerEvent::Bind<&Ignore>());
    fake->ScriptInput("c");
    fake->ExtractData();
    fake->CheckReceiveTriggers();
    EXPECT_EQ(port.notifications, 1);

    port.SetOnTrigger({});
    fake->ScriptInput("d");
    fake->ExtractData();
    fake->CheckReceiveTriggers();
    EXPECT_EQ(port.notifications, 1);
}

TEST(PortTriggers, ALineStatusNotificationReadsTheLineErrorAtThatMoment) {
    TPortLine line(TLineKind::Fake);
    line.Open();
    TEventLog log;
    const uint16_t handle = line.port.AddStatusTrigger(skLine);
    constexpr uint16_t kFramingFlag = 4;
    line.port.SetStatusTrigger(handle, kFramingFlag, true);
    line.port.SetOnTriggerLineError(TTriggerLineErrorEvent::Bind<&TEventLog::LineError>(&log));
    line.port.Fake()->pendingLineErrors = CE_FRAME;
    ASSERT_TRUE(line.Deliver([&] { return !log.entries.empty(); }));
    // The line error reads as the code of the framing error.
    EXPECT_EQ(log.entries, std::vector<std::string>{"LineError 4"});
}

TEST(PortTriggers, RemoveAllTriggersActsOnlyOnAnOpenPort) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.RemoveAllTriggers();
    EXPECT_EQ(port.TriggerLength(), 1);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    port.SetOpen(true);
    port.AddTimerTrigger();
    port.RemoveAllTriggers();
    EXPECT_EQ(port.TriggerLength(), 0);
    EXPECT_TRUE(port.Fake()->timerTriggers.empty());
    EXPECT_EQ(port.Fake()->availThreshold, 0u);
    EXPECT_THROW(port.RemoveTrigger(8), EBadTriggerHandle);
}

// Removing the length trigger by its handle clears the property as RemoveAllTriggers does, so
// that setting the length it had before arms it again.
TEST(PortTriggers, TheLengthTriggerRemovedByItsHandleCanBeSetAgain) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    port.RemoveTrigger(LengthTriggerHandle);
    EXPECT_EQ(port.Fake()->availThreshold, 0u);
    EXPECT_EQ(port.TriggerLength(), 0);
    port.SetTriggerLength(1);
    EXPECT_EQ(port.Fake()->availThreshold, 1u);
}

// The triggers of the last close come back at the next open, but a length set meanwhile is
// the one the reopened port uses.
TEST(PortTriggers, ALengthSetWhileClosedOutlastsTheSavedTriggers) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    port.SetOpen(false);
    port.SetTriggerLength(5);
    port.SetOpen(true);
    EXPECT_EQ(port.Fake()->availThreshold, 5u);
    EXPECT_EQ(port.TriggerLength(), 5);
}

TEST(PortTriggers, AClosingPortAnswersNeutrallyAndTouchesNoDispatcher) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    TFakeDispatcher* fake = port.Fake();
    fake->ScriptInput("abc");
    fake->ExtractData();
    fake->threadsActive = true;
    fake->threadCount = 1;
    bool wasBusy = false;
    fake->SetEventBusy(wasBusy, true);
    port.SetOpen(false);
    ASSERT_EQ(port.PortState(), psShuttingDown);

    EXPECT_EQ(port.AddTimerTrigger(), 0);
    EXPECT_TRUE(fake->timerTriggers.empty());
    EXPECT_FALSE(port.CharReady());
    EXPECT_EQ(port.GetChar(), 0);
    EXPECT_TRUE(port.WaitForString("abc", 100, false, false));
    EXPECT_EQ(port.WaitForMultiString("a|b", 100, false, false, '|'), 0);
    EXPECT_EQ(port.InBuffFree(), 8192);
    EXPECT_EQ(port.OutBuffFree(), port.OutSize());
    EXPECT_EQ(port.FlowState(), fcOff);
    EXPECT_EQ(port.ModemStatus(), 0);
    port.PutString("ignored");
    EXPECT_EQ(fake->OutputRingUsed(), 0u);

    fake->ThreadGone(nullptr); // the last dispatcher thread ends
    EXPECT_TRUE(PumpUntil(port, [&] { return port.PortState() == psClosed; }));
}

} // namespace
} // namespace kivo::testing
