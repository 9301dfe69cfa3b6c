// The waits of the port component: what they match, what they consume, when they time out,
// and the dispatcher's busy flag around them. Every case runs on the in-memory device layer and
// on a pseudo-terminal with the dispatcher's threads.
#include <gtest/gtest.h>

#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/platform/winmsg.h"
#include "tests/port/port_harness.h"

#include <sys/resource.h>

#include <chrono>
#include <thread>

namespace kivo::testing {
namespace {

class PortWait : public ::testing::TestWithParam<TLineKind> {
protected:
    void SetUp() override { line.Open(); }

    bool Busy() const { return line.port.CurrentDispatcher()->notifyBusy; }

    // Feeds the bytes while notifications are held. The arrival of plain feed may be announced
    // to the handlers just as the test's wait begins; a wait that finds a notification under
    // way rightly leaves the busy flag to that notification, which is not what these tests
    // look at. The dispatch thread's next pass is 50 ms away, but the pass that moved the bytes
    // may still be under way (see BusyEnds).
    void FeedQuietly(const std::string& bytes) {
        bool wasBusy = false;
        line.port.CurrentDispatcher()->SetEventBusy(wasBusy, true);
        line.Feed(bytes);
        line.port.CurrentDispatcher()->SetEventBusy(wasBusy, wasBusy);
    }

    // The pass that moved the fed bytes may still be checking the triggers when the feed lets
    // go of the flag (on a slow machine), and then announces them. That notification holds
    // the flag until it has been delivered; a wait that kept its own hold would hold it for good.
    bool BusyEnds() {
        return PumpUntil(line.port, [this] { return !Busy(); });
    }

    TPortLine line{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Lines, PortWait, ::testing::Values(TLineKind::Fake, TLineKind::Pty),
                         [](const auto& info) { return LineKindName(info.param); });

TEST_P(PortWait, AnEmptyTextIsFoundAtOnceWithoutReading) {
    line.Feed("OK");
    EXPECT_TRUE(line.port.WaitForString("", 0, false, false));
    EXPECT_EQ(line.port.InBuffUsed(), 2);
    EXPECT_EQ(line.port.WaitForMultiString("", 0, false, false, '|'), 0);
    EXPECT_EQ(line.port.InBuffUsed(), 2);
}

TEST_P(PortWait, EveryExaminedCharacterIsConsumedAndTheRestStays) {
    line.Feed("xxOKrest");
    EXPECT_TRUE(line.port.WaitForString("OK", 18, false, false));
    EXPECT_EQ(line.port.InBuffUsed(), 4);
    EXPECT_EQ(line.port.PeekChar(1), 'r');
    EXPECT_EQ(line.port.GetChar(), 'r');
}

TEST_P(PortWait, AfterAMismatchOnlyTheCurrentCharacterStartsAgain) {
    line.Feed("OOK");
    EXPECT_TRUE(line.port.WaitForString("OK", 18, false, false));
    line.Feed("AAAB");
    EXPECT_FALSE(line.port.WaitForString("AAB", 2, false, false));
    EXPECT_EQ(line.port.InBuffUsed(), 0);
}

TEST_P(PortWait, IgnoringCaseFoldsAsciiLettersOnly) {
    line.Feed("OK");
    EXPECT_TRUE(line.port.WaitForString("ok", 18, false, true));
    line.Feed("oK");
    EXPECT_TRUE(line.port.WaitForString("ok", 18, false, true));
    line.Feed("\xE9");
    EXPECT_FALSE(line.port.WaitForString("\xC9", 2, false, true));
    line.Feed("ok");
    EXPECT_FALSE(line.port.WaitForString("OK", 2, false, false));
}

TEST_P(PortWait, AZeroByteIsMatchedLikeAnyOther) {
    line.Feed(std::string(1, '\0'));
    EXPECT_TRUE(line.port.WaitForString(std::string(1, '\0'), 18, false, false));
}

TEST_P(PortWait, AZeroTickTimeOutEndsWithTheNextTick) {
    EventTimer started;
    NewTimer(started, 0);
    EXPECT_FALSE(line.port.WaitForString("OK", 0, true, false));
    // Far from the time-out of a wait that took 0 for "no limit".
    EXPECT_LE(ElapsedTime(started), 10);
}

TEST_P(PortWait, TheTerminatingApplicationEndsTheWaits) {
    SetApplicationTerminating(true);
    const bool found = line.port.WaitForString("OK", 100, true, false);
    const int32_t which = line.port.WaitForMultiString("OK|ERROR", 100, true, false, '|');
    SetApplicationTerminating(false);
    EXPECT_TRUE(found);
    EXPECT_EQ(which, 0);
}

// A quiet wait sleeps until its time-out; a program asked to stop (the flasher's signal
// handler, from whichever thread) wakes it at once. The message wait of the in-memory layer
// cannot see that and wakes at every tick instead.
TEST_P(PortWait, AQuietWaitSleepsUntilTheApplicationEndsIt) {
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        SetApplicationTerminating(true);
    });
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    const bool found = line.port.WaitForString("OK", Secs2Ticks(20), true, false);
    const auto waited = std::chrono::steady_clock::now() - start;
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    stopper.join();
    SetApplicationTerminating(false);

    EXPECT_TRUE(found);
    EXPECT_LT(waited, std::chrono::seconds(5));
    if (GetParam() == TLineKind::Pty) {
        EXPECT_LT(after.ru_nvcsw - before.ru_nvcsw, 5) << "600 ms are eleven ticks";
    }
}

TEST_P(PortWait, MultiStringReportsTheFirstAlternativeCompleted) {
    line.Feed("ERROR");
    EXPECT_EQ(line.port.WaitForMultiString("OK|ERROR", 18, false, false, '|'), 2);
    line.Feed("xOK");
    EXPECT_EQ(line.port.WaitForMultiString("OK|ERROR", 18, false, false, '|'), 1);
    line.Feed("ERROR");
    EXPECT_EQ(line.port.WaitForMultiString("OK|ERROR|", 18, false, false, '|'), 2);
    line.Feed("OK");
    EXPECT_EQ(line.port.WaitForMultiString("K|OK", 18, false, false, '|'), 1);
    line.Feed("ok");
    EXPECT_EQ(line.port.WaitForMultiString("|x||OK", 18, false, true, '|'), 4);
    line.Feed("nothing");
    EXPECT_EQ(line.port.WaitForMultiString("OK|ERROR", 2, false, false, '|'), 0);
}

TEST_P(PortWait, TextsLongerThanTheMatchPositionsAreRefused) {
    const std::string tooLong(256, 'a');
    EXPECT_THROW(line.port.WaitForString(tooLong, 1, false, false), EBadArgument);
    EXPECT_THROW(line.port.WaitForMultiString(tooLong, 1, false, false, '|'), EBadArgument);
    EXPECT_FALSE(Busy());
}

// ---------------------------------------------------------------------------------------------
// The busy flag

TEST_P(PortWait, AWaitLeavesTheBusyFlagAsItFoundIt) {
    FeedQuietly("OK");
    EXPECT_TRUE(line.port.WaitForString("OK", 18, false, false));
    EXPECT_TRUE(BusyEnds());

    bool wasBusy = false;
    line.port.CurrentDispatcher()->SetEventBusy(wasBusy, true);
    EXPECT_FALSE(line.port.WaitForString("OK", 1, false, false));
    EXPECT_TRUE(Busy());
    line.port.CurrentDispatcher()->SetEventBusy(wasBusy, false);
}

TEST_P(PortWait, PrepareWaitHoldsNotificationsFromTheRequestToTheAnswer) {
    line.port.PrepareWait();
    EXPECT_TRUE(Busy());
    line.port.PrepareWait();
    line.Feed("OK");
    EXPECT_TRUE(line.port.WaitForString("OK", 18, false, false));
    EXPECT_FALSE(Busy());
}

// A message that the yielding wait handles runs a wait of its own, as a timer handler that
// polls the device would.
constexpr UINT msgInnerWait = WM_USER + 2;
TTestPort* innerWaitPort = nullptr;
bool heldAfterInnerWait = false;

LRESULT InnerWaitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != msgInnerWait) {
        return DefWindowProc(window, message, wParam, lParam);
    }
    innerWaitPort->WaitForString("x", 0, false, false);
    heldAfterInnerWait = innerWaitPort->CurrentDispatcher()->busyHeld;
    return 0;
}

TEST_P(PortWait, AWaitInsideAPreparedWaitLeavesItsHoldInPlace) {
    RegisterClass(TWndClass{"PortInnerWaitWindow", InnerWaitWindowProc, 0});
    const HWND window = CreateWindow("PortInnerWaitWindow");
    innerWaitPort = &line.port;
    heldAfterInnerWait = false;
    line.port.PrepareWait();
    PostMessage(window, msgInnerWait, 0, 0);
    EXPECT_FALSE(line.port.WaitForString("OK", 2, true, false));
    DestroyWindow(window);
    EXPECT_TRUE(heldAfterInnerWait);
    EXPECT_FALSE(line.port.CurrentDispatcher()->busyHeld);
}

struct TWaitCharThrower {
    void Seen(TKvdCustomComPort*, char c) {
        seen += c;
        if (c == '!') {
            throw std::runtime_error("handler failed");
        }
    }
    std::string seen;
};

TEST_P(PortWait, AnExceptionFromOnWaitCharRestoresTheBusyFlag) {
    TWaitCharThrower handler;
    line.port.SetOnWaitChar(TWaitCharEvent::Bind<&TWaitCharThrower::Seen>(&handler));
    FeedQuietly("ab!cd");
    EXPECT_THROW(line.port.WaitForString("cd", 18, false, false), std::runtime_error);
    EXPECT_EQ(handler.seen, "ab!");
    EXPECT_TRUE(BusyEnds());
    EXPECT_EQ(line.port.InBuffUsed(), 2);

    bool wasBusy = false;
    line.port.CurrentDispatcher()->SetEventBusy(wasBusy, true);
    line.Feed("!");
    EXPECT_THROW(line.port.WaitForMultiString("x|y", 18, false, false, '|'), std::runtime_error);
    EXPECT_TRUE(Busy());
    line.port.CurrentDispatcher()->SetEventBusy(wasBusy, false);
}

// ---------------------------------------------------------------------------------------------
// Without a wait

TEST_P(PortWait, CheckForStringMatchesOneCharacterAtATime) {
    uint8_t position = 0;
    EXPECT_FALSE(line.port.CheckForString(position, 'O', "OK", false));
    EXPECT_EQ(position, 1);
    EXPECT_TRUE(line.port.CheckForString(position, 'K', "OK", false));
    EXPECT_EQ(position, 0);

    EXPECT_FALSE(line.port.CheckForString(position, 'o', "OK", true));
    EXPECT_FALSE(line.port.CheckForString(position, 'o', "OK", true));
    EXPECT_EQ(position, 1);
    EXPECT_FALSE(line.port.CheckForString(position, 'x', "OK", true));
    EXPECT_EQ(position, 0);

    position = 2;
    EXPECT_THROW(line.port.CheckForString(position, 'x', "OK", false), EBadArgument);
    EXPECT_THROW(line.port.CheckForString(position, 'x', "", false), EBadArgument);
}

TEST_P(PortWait, ReadsPeeksAndBlocks) {
    line.Feed("abcdef");
    EXPECT_EQ(line.port.PeekChar(2), 'b');
    char block[3] = {};
    line.port.PeekBlock(block, 3);
    EXPECT_EQ(std::string(block, 3), "abc");
    line.port.GetBlock(block, 3);
    EXPECT_EQ(std::string(block, 3), "abc");
    EXPECT_THROW(line.port.GetBlock(block, 4), EKVDException);
    EXPECT_THROW(line.port.PeekChar(4), EBufferIsEmpty);
    line.port.FlushInBuffer();
    EXPECT_FALSE(line.port.CharReady());
    EXPECT_THROW(line.port.GetChar(), EBufferIsEmpty);
}

} // namespace
} // namespace kivo::testing
