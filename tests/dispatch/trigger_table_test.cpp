// The trigger lists: handle numbering, adding, arming, removing, saving and restoring, and the
// dispatch-log entries these operations leave.
#include "tests/dispatch/notify_recorder.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace kivo::testing {
namespace {

class TriggerTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(), 0); }

    TFakeDispatcher port;
};

TEST_F(TriggerTable, HandlesCountUpInEightsWithTheStatusKindInTheLowBits) {
    EXPECT_EQ(port.AddTimerTrigger(), 8);
    EXPECT_EQ(port.AddDataTrigger("OK", false), 16);
    EXPECT_EQ(port.AddStatusTrigger(skNotActive), 24);
    EXPECT_EQ(port.AddStatusTrigger(skOutFree), 35);
    EXPECT_EQ(TKvdBaseDispatcher::ClassifyStatusTrigger(35), skOutFree);
    EXPECT_EQ(port.AddStatusTrigger(6), -1002);

    port.RemoveAllTriggers();
    EXPECT_EQ(port.AddTimerTrigger(), 8);
}

TEST_F(TriggerTable, HandlesPastTheCounterLimitAreSearchedAndNeverShared) {
    ASSERT_EQ(port.AddTimerTrigger(), 8);
    ASSERT_EQ(port.AddStatusTrigger(skOutUsed), 16 + 4);
    port.handleCounter = 4096;
    // 16 is held by the status trigger (kind bits aside): handing it out again would give two
    // triggers the same handle as soon as the next status trigger of kind 4 came along.
    EXPECT_EQ(port.AddTimerTrigger(), 24);
    EXPECT_EQ(port.AddDataTrigger("x", false), 32);
    ASSERT_EQ(port.RemoveTrigger(8), 0);
    EXPECT_EQ(port.AddStatusTrigger(skLine), 8 + 2);
}

TEST_F(TriggerTable, DataPatternsUpTo21CharactersAreAccepted) {
    EXPECT_GT(port.AddDataTrigger(std::string(21, 'a').c_str(), false), 0);
    EXPECT_EQ(port.AddDataTrigger(std::string(22, 'a').c_str(), false), -5002);
    EXPECT_EQ(port.dataTriggers.size(), 1u);
    EXPECT_EQ(port.AddDataTrigger(nullptr, false), -1002);
    EXPECT_EQ(port.AddDataTriggerLen(nullptr, false, 3), -1002);

    // The pattern is taken by length, zero bytes included, and upper-cased when case is ignored.
    const int32_t handle = port.AddDataTriggerLen("a\0b", true, 3);
    const TDataTrigger& trigger = port.dataTriggers.back();
    EXPECT_EQ(trigger.handle, static_cast<uint32_t>(handle));
    EXPECT_EQ(std::memcmp(trigger.pattern, "A\0B", 3), 0);
    EXPECT_EQ(trigger.ignoreCase, 0xFFFFFFFFu);
}

TEST_F(TriggerTable, RemovingAndFindingAnswerBadHandles) {
    port.ChangeLengthTrigger(5);
    EXPECT_EQ(port.RemoveTrigger(LengthTriggerHandle), 0);
    EXPECT_EQ(port.availThreshold, 0u);
    EXPECT_EQ(port.RemoveTrigger(0), -5003);

    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    const auto status = static_cast<uint32_t>(port.AddStatusTrigger(skModem));
    TTriggerType kind = ttData;
    void* record = &kind;
    EXPECT_EQ(port.FindTriggerFromHandle(LengthTriggerHandle, false, kind, &record), -5003);
    EXPECT_EQ(kind, ttNone);
    EXPECT_EQ(record, nullptr);
    // A status handle is found only with its kind bits.
    EXPECT_EQ(port.FindTriggerFromHandle(status & ~7u, false, kind, &record), -5003);
    ASSERT_EQ(port.FindTriggerFromHandle(status, false, kind, &record), 0);
    EXPECT_EQ(kind, ttStatus);
    EXPECT_EQ(record, &port.statusTriggers[0]);

    EXPECT_EQ(port.FindTriggerFromHandle(timer, true, kind, &record), 0);
    EXPECT_EQ(kind, ttTimer);
    EXPECT_EQ(record, nullptr);
    EXPECT_TRUE(port.timerTriggers.empty());
    EXPECT_EQ(port.RemoveTrigger(timer), -5003);
}

TEST_F(TriggerTable, TimerAndStatusOperationsRefuseHandlesOfAnotherKind) {
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    const auto status = static_cast<uint32_t>(port.AddStatusTrigger(skOutUsed));
    const auto data = static_cast<uint32_t>(port.AddDataTrigger("OK", false));
    int32_t remaining = 77;
    for (uint32_t handle : {status, data, 0u, 1u, 999u}) {
        EXPECT_EQ(port.SetTimerTrigger(handle, 5, true), -5003) << handle;
        EXPECT_EQ(port.ExtendTimer(handle, 5), -5003) << handle;
        EXPECT_EQ(port.TimerTicksRemaining(handle, remaining), -5003) << handle;
        EXPECT_EQ(remaining, 0);
    }
    for (uint32_t handle : {timer, data, status & ~7u}) {
        EXPECT_EQ(port.SetStatusTrigger(handle, 5, true), -5003) << handle;
    }
    EXPECT_EQ(port.timerTriggers[0].active, 0u);
    EXPECT_EQ(port.statusTriggers[0].active, 0u);
}

TEST_F(TriggerTable, SetTimerTriggerKeepsTheLastDurationAndDisarmsWithoutActivate) {
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    EXPECT_EQ(port.timerTriggers[0].reserved, -1);
    ASSERT_EQ(port.SetTimerTrigger(timer, 1000, true), 0);
    int32_t remaining = 0;
    ASSERT_EQ(port.TimerTicksRemaining(timer, remaining), 0);
    EXPECT_GT(remaining, 990);
    EXPECT_LE(remaining, 1000);

    ASSERT_EQ(port.ExtendTimer(timer, 500), 0);
    ASSERT_EQ(port.TimerTicksRemaining(timer, remaining), 0);
    EXPECT_GT(remaining, 1490);

    // Re-arming with 0 ticks restarts with the duration given last.
    ASSERT_EQ(port.SetTimerTrigger(timer, 0, true), 0);
    EXPECT_EQ(port.timerTriggers[0].ticks, 1000);
    ASSERT_EQ(port.TimerTicksRemaining(timer, remaining), 0);
    EXPECT_LE(remaining, 1000);

    ASSERT_EQ(port.SetTimerTrigger(timer, 7, false), 0);
    EXPECT_EQ(port.timerTriggers[0].active, 0u);
    EXPECT_EQ(port.timerTriggers[0].ticks, 1000);
}

TEST_F(TriggerTable, SetStatusTriggerStoresTheConditionByKind) {
    port.deviceModemStatus = ms_CtsOn;
    port.GetModemStatus();
    const auto modem = static_cast<uint32_t>(port.AddStatusTrigger(skModem));
    const auto line = static_cast<uint32_t>(port.AddStatusTrigger(skLine));
    const auto outFree = static_cast<uint32_t>(port.AddStatusTrigger(skOutFree));

    // Watch CTS and DSR: the reference keeps their state at arming time (CTS on, DSR off).
    ASSERT_EQ(port.SetStatusTrigger(modem, 0x130, true), 0);
    EXPECT_EQ(port.statusTriggers[0].value, 0x1030);
    // Overrun and break in the component's encoding become CE_OVERRUN and CE_BREAK.
    ASSERT_EQ(port.SetStatusTrigger(line, 1 | 8, true), 0);
    EXPECT_EQ(port.statusTriggers[1].value, CE_OVERRUN | CE_BREAK);
    ASSERT_EQ(port.SetStatusTrigger(outFree, 0x12345, true), 0);
    EXPECT_EQ(port.statusTriggers[2].value, 0x2345);
    EXPECT_EQ(port.statusTriggers[2].active, 1);

    // Without activate only the arming goes.
    ASSERT_EQ(port.SetStatusTrigger(outFree, 7, false), 0);
    EXPECT_EQ(port.statusTriggers[2].value, 0x2345);
    EXPECT_EQ(port.statusTriggers[2].active, 0);
}

TEST_F(TriggerTable, SaveAndRestoreCarryEveryTriggerAndItsStateToTheNextDispatcher) {
    port.ChangeLengthTrigger(9);
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    const auto data = static_cast<uint32_t>(port.AddDataTrigger("OKAY", true));
    const auto status = static_cast<uint32_t>(port.AddStatusTrigger(skOutUsed));
    ASSERT_EQ(port.SetTimerTrigger(timer, 400, true), 0);
    ASSERT_EQ(port.SetStatusTrigger(status, 3, true), 0);
    port.ScriptInput("ok");
    ASSERT_TRUE(port.ExtractData());
    ASSERT_FALSE(port.CheckReceiveTriggers());

    TTriggerSave save;
    save.timerTriggers.resize(3); // stale content is dropped
    port.SaveTriggers(save);
    ASSERT_EQ(save.timerTriggers.size(), 1u);

    auto next = std::make_unique<TFakeDispatcher>();
    ASSERT_EQ(next->Open(), 0);
    next->RestoreTriggers(save);
    EXPECT_EQ(next->availThreshold, 9u);
    ASSERT_EQ(next->timerTriggers.size(), 1u);
    ASSERT_EQ(next->dataTriggers.size(), 1u);
    ASSERT_EQ(next->statusTriggers.size(), 1u);
    EXPECT_EQ(std::memcmp(&next->timerTriggers[0], &port.timerTriggers[0], sizeof(TTimerTrigger)),
              0);
    EXPECT_EQ(std::memcmp(&next->dataTriggers[0], &port.dataTriggers[0], sizeof(TDataTrigger)), 0);
    EXPECT_EQ(
        std::memcmp(&next->statusTriggers[0], &port.statusTriggers[0], sizeof(TStatusTrigger)), 0);
    EXPECT_EQ(save.dataTriggers.size(), 1u) << "the saved copies stay with the caller";

    // The partial match survives: the rest of the pattern completes it on the new port.
    TNoteRecorder recorder(*next);
    next->RegisterEventTriggerHandler(recorder.Method());
    next->ScriptInput("AY");
    ASSERT_TRUE(next->ExtractData());
    next->CheckReceiveTriggers();
    ASSERT_FALSE(recorder.notes.empty());
    EXPECT_EQ(recorder.notes[0], (TNote{msgTriggerData, data, NoteParam(*next, 4)}));

    // New triggers do not take over the handles of restored ones.
    const auto added = static_cast<uint32_t>(next->AddTimerTrigger());
    EXPECT_NE(added, timer);
    EXPECT_NE(added, data);
    EXPECT_NE(added, status & ~7u);

    TKvdBaseDispatcher::ClearSaveBuffers(save);
    EXPECT_TRUE(save.timerTriggers.empty() && save.dataTriggers.empty() &&
                save.statusTriggers.empty());
}

TEST_F(TriggerTable, AStatusTriggerReArmedBeforeTheCloseFiresOnTheNextDispatcher) {
    // The handler of a status trigger arms it again and closes the port.
    const auto outFree = static_cast<uint32_t>(port.AddStatusTrigger(skOutFree));
    ASSERT_EQ(port.SetStatusTrigger(outFree, 0, true), 0);
    ASSERT_TRUE(port.CheckStatusTriggers());
    ASSERT_EQ(port.SetStatusTrigger(outFree, 0, true), 0);
    TTriggerSave save;
    port.SaveTriggers(save);

    TFakeDispatcher next;
    ASSERT_EQ(next.Open(), 0);
    next.RestoreTriggers(save);
    TNoteRecorder recorder(next);
    next.RegisterEventTriggerHandler(recorder.Method());
    EXPECT_TRUE(next.CheckStatusTriggers());
    EXPECT_EQ(recorder.notes.size(), 1u);
}

TEST_F(TriggerTable, AMatchLeftUntoldByACloseIsNotToldOnTheNextDispatcher) {
    // Both triggers complete on the 'K'; the handler told first saves the triggers and closes
    // the port, as the port component does.
    struct TCloser {
        TKvdBaseDispatcher* port;
        TTriggerSave* save;
        void OnNotify(uint32_t, uint32_t, int32_t) {
            port->SaveTriggers(*save);
            port->DonePort();
        }
    };
    TTriggerSave save;
    TCloser closer{&port, &save};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TCloser::OnNotify>(&closer));
    port.AddDataTrigger("OK", false);
    port.AddDataTrigger("K", false);
    port.ScriptInput("OK");
    ASSERT_TRUE(port.ExtractData());
    port.CheckReceiveTriggers();

    TFakeDispatcher next;
    ASSERT_EQ(next.Open(), 0);
    next.RestoreTriggers(save);
    TNoteRecorder recorder(next);
    next.RegisterEventTriggerHandler(recorder.Method());
    next.ScriptInput("x");
    ASSERT_TRUE(next.ExtractData());
    EXPECT_FALSE(next.CheckReceiveTriggers());
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(TriggerTable, RestoreRefusesDataRecordsNoPatternCanHave) {
    TTriggerSave save;
    TDataTrigger broken{};
    broken.handle = 8;
    broken.length = 5000;
    save.dataTriggers.push_back(broken);
    port.RestoreTriggers(save);
    EXPECT_TRUE(port.dataTriggers.empty());
}

struct TLoggedEntry {
    uint8_t type;
    uint8_t subType;
    uint32_t data;
    std::string block;
    bool operator==(const TLoggedEntry&) const = default;
};

void PrintTo(const TLoggedEntry& e, std::ostream* os) {
    *os << "{" << int(e.type) << ", " << int(e.subType) << ", " << e.data << ", \"" << e.block
        << "\"}";
}

std::vector<TLoggedEntry> TakeLog(TKvdBaseDispatcher& port) {
    std::vector<TLoggedEntry> entries;
    TDispatchRecord header;
    uint8_t block[64];
    uint32_t length = 0;
    while (!port.dlog.PopLast(header, block, sizeof block, length)) {
        entries.push_back(TLoggedEntry{header.type, header.subType, header.data,
                                       std::string(reinterpret_cast<char*>(block), length)});
    }
    return entries;
}

std::string Bytes(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(TriggerTable, EveryOperationLeavesItsLogEntry) {
    port.InitDispatchLogging(4096);
    port.StartDispatchLogging();
    const auto data = static_cast<uint32_t>(port.AddDataTrigger("Hi", false));
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    const auto status = static_cast<uint32_t>(port.AddStatusTrigger(skOutUsed));
    port.SetTimerTrigger(timer, 300, true);
    port.SetTimerTrigger(timer, 0, false);
    port.ExtendTimer(timer, -2);
    port.SetStatusTrigger(status, 0x102, true);
    port.ChangeLengthTrigger(12);
    port.RemoveTrigger(status);
    port.RemoveTrigger(timer);
    port.RemoveTrigger(data);
    port.ScriptInput("xy");
    port.ExtractData();

    const std::vector<TLoggedEntry> expected{
        {dtTriggerAlloc, dstDataTrigger, data, "Hi"},
        {dtTriggerAlloc, dstTimerTrigger, timer, ""},
        {dtTriggerAlloc, dstStatusTrigger, status, Bytes({4})},
        {dtTriggerDataChange, dstTimerTrigger, timer, Bytes({0x2C, 1, 0, 0})},
        {dtTriggerDataChange, dstTimerTrigger, timer, "Deactivated"},
        {dtTriggerDataChange, dstTimerTrigger, timer, Bytes({0xFE, 0xFF, 0xFF, 0xFF})},
        {dtTriggerDataChange, dstStatusTrigger, status, Bytes({2, 1, 1, 0})},
        {dtTriggerDataChange, dstAvailTrigger, 12, ""},
        {dtTriggerDispose, dstStatusTrigger, status, Bytes({4})},
        {dtTriggerDispose, dstTimer, timer, ""},
        {dtTriggerDispose, dstData, data, ""},
        {dtDispatch, dstReadCom, 2, "xy"},
    };
    EXPECT_EQ(TakeLog(port), expected);
}

} // namespace
} // namespace kivo::testing
