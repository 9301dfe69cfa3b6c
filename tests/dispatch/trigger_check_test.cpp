// Bytes from the device through the receive step and the trigger checks, down to the
// notifications a handler gets, in order and with their parameters.
#include "tests/dispatch/notify_recorder.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "comm/platform/clock.h"

namespace kivo::testing {
namespace {

class TriggerCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.Open(), 0);
        port.RegisterEventTriggerHandler(recorder.Method());
    }

    // Delivers bytes as the dispatch thread does: into the ring, then the receive check
    // repeated while it reports a served notification.
    void Receive(const std::string& bytes) {
        port.ScriptInput(bytes);
        port.ExtractData();
        for (int pass = 0; pass < 100 && port.CheckReceiveTriggers(); ++pass) {
        }
    }

    uint32_t AddData(const char* pattern, bool ignoreCase = false) {
        return static_cast<uint32_t>(port.AddDataTrigger(pattern, ignoreCase));
    }

    TNote Data(uint32_t handle, uint32_t length) {
        return TNote{msgTriggerData, handle, NoteParam(port, length)};
    }
    TNote Avail(uint32_t count) { return TNote{msgTriggerAvail, count, NoteParam(port, 0)}; }

    TFakeDispatcher port;
    TNoteRecorder recorder{port};
};

TEST_F(TriggerCheck, DataTriggersFindTheirPatternWhereverItStarts) {
    const uint32_t abc = AddData("ABC", true);
    Receive("xaBc");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(abc, 3)}));

    // The third 'a' restarts the partial match, so the 'b' completes it.
    port.RemoveAllTriggers();
    recorder.notes.clear();
    const uint32_t aab = AddData("aab");
    Receive("aaab");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(aab, 3)}));

    // Case counts unless told otherwise.
    recorder.notes.clear();
    Receive("AAB");
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(TriggerCheck, OverlappingOccurrencesCompleteOnTheSecondAndThirdCharacter) {
    const uint32_t aa = AddData("aa");
    for (char c : std::string("aaaa")) {
        recorder.notes.clear();
        port.ScriptInput(std::string(1, c));
        port.ExtractData();
        port.CheckReceiveTriggers();
        const bool completes = recorder.notes == std::vector<TNote>{Data(aa, 2)};
        EXPECT_EQ(completes, port.scanPos == 2 || port.scanPos == 3) << "at " << port.scanPos;
    }
}

TEST_F(TriggerCheck, SeveralTriggersCompletingOnOneByteAreToldLastFirst) {
    const uint32_t ok = AddData("OK");
    const uint32_t k = AddData("K");
    const uint32_t never = AddData("");
    Receive("OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(k, 1), Data(ok, 2)}));
    EXPECT_NE(never, 0u);
}

TEST_F(TriggerCheck, AHandlerRemovingItsTriggerLeavesTheOthersOfTheSameByteToBeTold) {
    struct TRemover {
        TKvdBaseDispatcher* port;
        uint32_t victim;
        void OnNotify(uint32_t, uint32_t wParam, int32_t) {
            if (wParam == victim) {
                port->RemoveTrigger(victim);
            }
        }
    };
    const uint32_t ab = AddData("ab");
    const uint32_t b = AddData("b");
    TRemover remover{&port, b};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TRemover::OnNotify>(&remover));
    // Told at once, not only when a byte follows that may never come.
    Receive("ab");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(b, 1), Data(ab, 2)}));
    Receive("ab");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(b, 1), Data(ab, 2), Data(ab, 2)}));
}

TEST_F(TriggerCheck, AHandlerClosingThePortEndsTheCheckBeforeTheNextTrigger) {
    struct TCloser {
        TKvdBaseDispatcher* port;
        void OnNotify(uint32_t, uint32_t, int32_t) { port->DonePort(); }
    };
    TCloser closer{&port};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TCloser::OnNotify>(&closer));
    const uint32_t ok = AddData("OK");
    const uint32_t k = AddData("K");
    port.ScriptInput("OK");
    port.ExtractData();
    EXPECT_FALSE(port.CheckReceiveTriggers());
    // Only the first of the two triggers completing on the 'K' was told, and only to the
    // handler served before the close.
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(k, 1)}));
    EXPECT_NE(ok, 0u);
}

TEST_F(TriggerCheck, AvailComesBeforeTheDataThatFollowsIt) {
    recorder.readAnnounced = true;
    port.ChangeLengthTrigger(5);
    const uint32_t ok = AddData("OK");
    Receive("12345OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(5), Data(ok, 2)}));
    EXPECT_EQ(recorder.read, "12345OK");
    EXPECT_EQ(port.InBuffUsed(), 0u);
}

TEST_F(TriggerCheck, AvailFiresOnceTheThresholdIsReachedAndOnlyForNewBytes) {
    port.ChangeLengthTrigger(10);
    Receive("1234");
    EXPECT_TRUE(recorder.notes.empty());
    Receive("567890");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(10)}));
    Receive("");
    EXPECT_EQ(recorder.notes.size(), 1u);
    Receive("A");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(10), Avail(11)}));

    // Without a length trigger nothing is announced.
    recorder.notes.clear();
    port.RemoveTrigger(LengthTriggerHandle);
    Receive("BCDEFGHIJKLMN");
    EXPECT_TRUE(recorder.notes.empty());
}

// Whether bytes are new since the last avail notification is not told by ring position:
// after a whole ring's worth of bytes the scan stands where that notification was given.
TEST_F(TriggerCheck, AvailFiresForNewBytesThatEndWhereTheLastNotificationWas) {
    port.ChangeLengthTrigger(16);
    char taken[16];
    Receive(std::string(16, 'a'));
    ASSERT_EQ(recorder.notes, (std::vector<TNote>{Avail(16)}));
    ASSERT_EQ(port.GetBlock(taken, 16), 16);
    // Short messages, each read before the next, bring the ring round.
    for (uint32_t moved = 0; moved < InBufferSize - 16; moved += 8) {
        Receive("bbbbbbbb");
        ASSERT_EQ(port.GetBlock(taken, 8), 8);
    }
    Receive(std::string(16, 'c'));
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(16), Avail(16)}));
}

TEST_F(TriggerCheck, ALengthTriggerBeyondTheSignedRangeIsNeverReached) {
    port.ChangeLengthTrigger(0x80000000);
    const uint32_t ok = AddData("OK");
    Receive("12OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(ok, 2)}));
}

TEST_F(TriggerCheck, AWholeRingArrivingBetweenTwoChecksIsScanned) {
    // The ring fills in one receive step, so that its write position comes round to where the
    // scan and the last avail notification stand.
    recorder.readAnnounced = true;
    port.ChangeLengthTrigger(1);
    Receive(std::string(InBufferSize, 'x'));
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(InBufferSize)}));
    EXPECT_EQ(port.InBuffUsed(), 0u);

    recorder.notes.clear();
    port.RemoveTrigger(LengthTriggerHandle);
    const uint32_t ok = AddData("OK");
    Receive(std::string(InBufferSize - 2, 'x') + "OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(ok, 2)}));
}

TEST_F(TriggerCheck, BytesAWaitTookAreNeitherToldNorCounted) {
    // "12O" was scanned (and read by the avail handler); then, while a wait held the checks
    // off, the waiting reader took "Kxyz" unscanned.
    recorder.readAnnounced = true;
    port.ChangeLengthTrigger(1);
    const uint32_t ok = AddData("OK");
    Receive("12O");
    recorder.notes.clear();
    recorder.read.clear();
    port.ScriptInput("Kxyz");
    port.ExtractData();
    char taken[4];
    ASSERT_EQ(port.GetBlock(taken, 4), 4);

    // The next check starts at the read position: the 'O' before the taken bytes does not
    // pair with a later 'K', and the count covers only bytes still there.
    Receive("aK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(2)}));
    EXPECT_EQ(recorder.read, "aK");
    Receive("OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(2), Data(ok, 2)}));
}

TEST_F(TriggerCheck, AWaitThatTookAWholeRingUncheckedLeavesNoPartialMatch) {
    // "12O" was scanned; then a wait took it and a ring's worth more, unchecked, so that the
    // read position came round to where the scan had stopped.
    const uint32_t ok = AddData("OK");
    Receive("12O");
    const std::string flood(InBufferSize / 2, 'x');
    std::string taken(InBufferSize, '\0');
    ASSERT_EQ(port.GetBlock(taken.data(), 3), 3);
    for (int half = 0; half < 2; ++half) {
        port.ScriptInput(flood);
        port.ExtractData();
        ASSERT_EQ(port.GetBlock(taken.data(), InBufferSize / 2),
                  static_cast<int>(InBufferSize / 2));
    }
    ASSERT_EQ(port.inTail, port.scanPos);

    Receive("K");
    EXPECT_TRUE(recorder.notes.empty());
    Receive("OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(ok, 2)}));
}

TEST_F(TriggerCheck, FlushedBytesAreNeitherToldNorPairedWithLaterOnes) {
    // "12O" was scanned, "KK" arrived but was not checked yet, then the input was flushed.
    port.ChangeLengthTrigger(1);
    const uint32_t ok = AddData("OK");
    Receive("12O");
    recorder.notes.clear();
    port.ScriptInput("KK");
    port.ExtractData();
    ASSERT_EQ(port.FlushInBuffer(), 0);

    Receive("K");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Avail(1)}));
    char c = 0;
    ASSERT_EQ(port.GetChar(c), 0);
    recorder.notes.clear();
    Receive("OK");
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Data(ok, 2), Avail(2)}));
}

TEST_F(TriggerCheck, ReceiveStepFillsTheRingAcrossItsEnd) {
    // Move the ring's positions close to the end, as after 8190 consumed bytes.
    port.inHead = 8190;
    port.inTail = 8190;
    port.scanPos = 8190;
    Receive("abcd");
    EXPECT_EQ(port.inHead, 2u);
    char block[4];
    ASSERT_EQ(port.GetBlock(block, 4), 4);
    EXPECT_EQ(std::string(block, 4), "abcd");

    // A full ring stops taking bytes and says so; the rest waits in the device.
    port.inHead = 0;
    port.inTail = 0;
    port.ScriptInput(std::string(InBufferSize + 5, 'z'));
    EXPECT_TRUE(port.ExtractData());
    EXPECT_TRUE(port.inputFull);
    EXPECT_EQ(port.InBuffUsed(), InBufferSize);
    EXPECT_EQ(port.InputLeft(), 5u);
    EXPECT_TRUE(port.ExtractData());
    EXPECT_EQ(port.InputLeft(), 5u);
}

TEST_F(TriggerCheck, ReceiveStepReportsNothingWaitingAndSurvivesAFailedRead) {
    EXPECT_FALSE(port.ExtractData());

    port.ScriptInput("data");
    port.readFailure = -5;
    EXPECT_TRUE(port.ExtractData());
    EXPECT_EQ(port.InBuffUsed(), 0u);
    ASSERT_FALSE(port.eventMasks.empty());
    EXPECT_EQ(port.eventMasks.back(), -1);
    EXPECT_TRUE(port.ExtractData());
    EXPECT_EQ(port.InBuffUsed(), 4u);
}

// A device whose second read of a pass fails, as when it goes away halfway.
class TSecondReadFails : public TFakeDispatcher {
public:
    int ReadCom(uint8_t* buffer, int count) override {
        return ++reads == 2 ? -5 : TFakeDispatcher::ReadCom(buffer, count);
    }
    int reads = 0;
};

TEST(TriggerReceive, AFailedReadAfterTheRingWrapsAddsNoBytes) {
    TSecondReadFails port;
    ASSERT_EQ(port.Open(), 0);
    port.inHead = 8190;
    port.inTail = 8190;
    port.ScriptInput("abcd");
    port.reads = 0;
    EXPECT_TRUE(port.ExtractData());
    // The error number of the failed read is no count of bytes: the ring holds what came.
    EXPECT_EQ(port.InBuffUsed(), 2u);
    EXPECT_EQ(port.InputLeft(), 2u);
    EXPECT_TRUE(port.ExtractData());
    char block[4];
    ASSERT_EQ(port.GetBlock(block, 4), 4);
    EXPECT_EQ(std::string(block, 4), "abcd");
}

TEST_F(TriggerCheck, ReceiveStepWakesTheThreadWaitingForInput) {
    // The main thread stands for a port-component wait; nothing else wakes its WaitMessage.
    port.inputWaiter = GetCurrentThreadId();
    port.ScriptInput("x");
    ASSERT_TRUE(port.ExtractData());
    EXPECT_TRUE(WaitMessage(5000));
}

// A tick clock that a test moves by hand.
std::atomic<uint64_t> fakeNanoseconds{1'000'000'000};
uint64_t FakeCounter() {
    return fakeNanoseconds.load();
}

class TimerCheck : public TriggerCheck {
protected:
    void SetUp() override {
        SetPerformanceCounterSource(&FakeCounter, 1'000'000'000);
        InitClockDivisor();
        TriggerCheck::SetUp();
    }
    void TearDown() override {
        SetPerformanceCounterSource(nullptr, 0);
        InitClockDivisor();
    }
    static void AdvanceTicks(int ticks) {
        fakeNanoseconds += static_cast<uint64_t>(ticks) * 55 * 1'000'000;
    }
};

TEST_F(TimerCheck, ArmedTimerFiresOnceUntilArmedAgain) {
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    const auto idle = static_cast<uint32_t>(port.AddTimerTrigger());
    EXPECT_NE(idle, 0u);
    ASSERT_EQ(port.SetTimerTrigger(timer, 3, true), 0);
    EXPECT_FALSE(port.CheckTimerTriggers());
    AdvanceTicks(4);
    EXPECT_TRUE(port.CheckTimerTriggers());
    EXPECT_FALSE(port.CheckTimerTriggers());
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{{msgTriggerTimer, timer, NoteParam(port, 0)}}));

    ASSERT_EQ(port.SetTimerTrigger(timer, 0, true), 0);
    AdvanceTicks(4);
    EXPECT_TRUE(port.CheckTriggers());
    EXPECT_EQ(recorder.notes.size(), 2u);
}

TEST_F(TimerCheck, ExtendingATimerByTheLargestCountDelaysItInsteadOfFiringIt) {
    const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
    ASSERT_EQ(port.SetTimerTrigger(timer, 3, true), 0);
    ASSERT_EQ(port.ExtendTimer(timer, INT32_MAX), 0);
    AdvanceTicks(4);
    EXPECT_FALSE(port.CheckTimerTriggers());
    int32_t remaining = 0;
    ASSERT_EQ(port.TimerTicksRemaining(timer, remaining), 0);
    EXPECT_GT(remaining, 3);
}

class StatusCheck : public TriggerCheck {
protected:
    uint32_t Armed(uint32_t kind, uint32_t value) {
        const auto handle = static_cast<uint32_t>(port.AddStatusTrigger(kind));
        EXPECT_EQ(port.SetStatusTrigger(handle, value, true), 0);
        return handle;
    }
    TNote Status(uint32_t handle, uint32_t data = 0) {
        return TNote{msgTriggerStatus, handle, NoteParam(port, data)};
    }
};

TEST_F(StatusCheck, OutUsedArmedWithZeroFiresOnAnEmptyBufferWithData0) {
    port.PutString("abc");
    const uint32_t used = Armed(skOutUsed, 0);
    EXPECT_FALSE(port.CheckStatusTriggers());
    port.DrainOutput();
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Status(used, 0)}));
    EXPECT_TRUE(port.statusHitFlag);
}

TEST_F(StatusCheck, AFiredTriggerStaysQuietUntilItsHitMarkIsReset) {
    const uint32_t outFree = Armed(skOutFree, 1000);
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_FALSE(port.CheckStatusTriggers());
    EXPECT_EQ(port.statusTriggers[0].active, 0);
    EXPECT_EQ(port.statusTriggers[0].hit, 1);

    // Re-armed by a handler within the same pass: the hit mark holds it back.
    ASSERT_EQ(port.SetStatusTrigger(outFree, 1000, true), 0);
    EXPECT_FALSE(port.CheckStatusTriggers());
    port.ResetStatusHits();
    EXPECT_FALSE(port.statusHitFlag);
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Status(outFree, 1024), Status(outFree, 1024)}));

    // Below the threshold nothing fires.
    port.ResetStatusHits();
    ASSERT_EQ(port.SetStatusTrigger(outFree, 1000, true), 0);
    port.PutString(std::string(100, 'x'));
    EXPECT_FALSE(port.CheckStatusTriggers());
}

TEST_F(StatusCheck, ModemTriggerFiresWhenAWatchedLineLeavesItsArmedState) {
    port.deviceModemStatus = ms_CtsOn;
    port.GetModemStatus();
    const uint32_t cts = Armed(skModem, ms_CtsOn);
    port.deviceModemStatus = ms_CtsOn | ms_DsrOn; // an unwatched line
    port.MapEventsToMS(0x10);
    EXPECT_FALSE(port.CheckStatusTriggers());
    port.deviceModemStatus = ms_DsrOn;
    port.MapEventsToMS(0x08);
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Status(cts)}));
}

TEST_F(StatusCheck, LineTriggerFiresOnAWatchedErrorAndKeepsTheWholeErrorWord) {
    const uint32_t parity = Armed(skLine, 2);
    port.pendingLineErrors = CE_FRAME;
    port.RefreshStatus();
    EXPECT_FALSE(port.CheckStatusTriggers());
    port.pendingLineErrors = CE_RXPARITY;
    port.RefreshStatus();
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_EQ(port.statusTriggers[0].value, CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Status(parity)}));
}

TEST_F(StatusCheck, OutSentFiresAfterAWriteAndConsumesTheFlag) {
    const uint32_t sent = Armed(skOutSent, 0);
    EXPECT_FALSE(port.CheckStatusTriggers());
    port.PutString("x");
    EXPECT_TRUE(port.CheckStatusTriggers());
    EXPECT_FALSE(port.outputSentFlag);
    EXPECT_EQ(recorder.notes, (std::vector<TNote>{Status(sent)}));

    // A never-active kind stays silent even when armed.
    Armed(skNotActive, 0);
    EXPECT_FALSE(port.CheckStatusTriggers());
}

} // namespace
} // namespace kivo::testing
