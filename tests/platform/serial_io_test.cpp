// Moving bytes and waiting for comm events on a serial line, with cancellation and hang-up.
#include "comm/platform/framework.h"
#include "comm/platform/serial.h"
#include "tests/platform/serial_testutil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace kivo {
namespace {

using testing::ReadExactly;
using testing::TLinePair;

constexpr int64_t kShortUs = 50000;

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

TEST(SerialIoTest, BytesTravelBothWaysInOrder) {
    TLinePair pair;
    std::string outbound;
    for (int i = 0; i < 70000; ++i) {
        outbound.push_back(static_cast<char>(i * 7));
    }
    std::thread writer([&] {
        EXPECT_EQ(SerialWrite(pair.line, outbound.data(), static_cast<int32_t>(outbound.size())),
                  static_cast<int>(outbound.size()));
    });
    EXPECT_EQ(ReadExactly(pair.pty.Master, outbound.size()), outbound);
    writer.join();

    const std::string reply = "OK\r\n\0\x11\x13\xff";
    ASSERT_EQ(SerialWrite(pair.pty.Master, reply.data(), static_cast<int32_t>(reply.size())),
              static_cast<int>(reply.size()));
    EXPECT_EQ(ReadExactly(pair.line, reply.size()), reply) << "raw mode translates nothing";
}

TEST(SerialIoTest, InputIsReportedOnceUntilItIsTaken) {
    TLinePair pair;
    uint32_t events = 0;
    ASSERT_EQ(SerialWrite(pair.pty.Master, "abcd", 4), 4);
    ASSERT_EQ(SerialWaitEvent(pair.line, events), 0);
    EXPECT_EQ(events, ev_RxChar);

    // A reader with no room left takes nothing: the same bytes must not wake it again.
    ASSERT_EQ(SerialWaitEvent(pair.line, events, kShortUs), 0);
    EXPECT_EQ(events, 0u);

    char buffer[2];
    EXPECT_EQ(SerialRead(pair.line, buffer, 2), 2);
    ASSERT_EQ(SerialWaitEvent(pair.line, events, kShortUs), 0);
    EXPECT_EQ(events, ev_RxChar) << "taking input re-arms the report while bytes remain";
    EXPECT_EQ(SerialRead(pair.line, buffer, 2), 2);
    ASSERT_EQ(SerialWaitEvent(pair.line, events, kShortUs), 0);
    EXPECT_EQ(events, 0u) << "nothing left to report";
}

// A time-out longer than the clock can count must not overflow into one already passed, nor
// must a century, which the clock counts but 32 bits of seconds do not.
TEST(SerialIoTest, TimeOutsTooLongForTheClockWaitWithoutLimit) {
    TLinePair pair;
    const int64_t centuryUs = int64_t{100} * 365 * 24 * 3600 * 1000000;
    for (const int64_t timeoutUs : {INT64_MAX, INT64_MAX / 1000 + 1, centuryUs}) {
        uint32_t events = 0;
        std::thread writer([&] { EXPECT_EQ(SerialWrite(pair.pty.Master, "x", 1), 1); });
        EXPECT_EQ(SerialWaitEvent(pair.line, events, timeoutUs), 0);
        writer.join();
        EXPECT_EQ(events, ev_RxChar) << timeoutUs;
        char byte = 0;
        EXPECT_EQ(SerialRead(pair.line, &byte, 1), 1);
    }
}

TEST(SerialIoTest, TakingInputWakesAWaitThatStoppedWatchingIt) {
    TLinePair pair;
    uint32_t events = 0;
    ASSERT_EQ(SerialWrite(pair.pty.Master, "abcd", 4), 4);
    ASSERT_EQ(SerialWaitEvent(pair.line, events), 0);
    std::thread waiter([&] {
        uint32_t later = 0;
        EXPECT_EQ(SerialWaitEvent(pair.line, later, 5000000), 0);
        EXPECT_EQ(later, ev_RxChar);
    });
    // Give the waiter time to block without input in its poll set; the result is the same if
    // it has not, only the path taken differs.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char buffer[1];
    EXPECT_EQ(SerialRead(pair.line, buffer, 1), 1);
    waiter.join();
}

TEST(SerialIoTest, EventMaskEndsAPendingWaitAndZeroKeepsWaitsShort) {
    TLinePair pair;
    std::atomic<int> result{1};
    uint32_t events = 99;
    std::thread waiter([&] { result = SerialWaitEvent(pair.line, events); });
    ASSERT_EQ(SerialSetEventMask(pair.line, 0), 0);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(events, 0u);

    // With the mask cleared no wait can block, so a cancel that races the start of a wait
    // is never lost.
    ASSERT_EQ(SerialWaitEvent(pair.line, events), 0);
    EXPECT_EQ(events, 0u);
    ASSERT_EQ(SerialSetEventMask(pair.line, ev_RxChar), 0);
    ASSERT_EQ(SerialWrite(pair.pty.Master, "z", 1), 1);
    ASSERT_EQ(SerialWaitEvent(pair.line, events), 0);
    EXPECT_EQ(events, ev_RxChar);
}

TEST(SerialIoTest, CancelEndsAWriteTheFarEndDoesNotTake) {
    TLinePair pair;
    const std::vector<char> block(1 << 20, 'x');
    std::atomic<int> written{-1};
    std::thread writer([&] {
        written = SerialWrite(pair.line, block.data(), static_cast<int32_t>(block.size()));
    });
    // The write blocks once the pseudo-terminal's buffer is full; the cancel ends it there.
    uint32_t events = 0;
    ASSERT_EQ(SerialWaitEvent(pair.pty.Master, events), 0);
    ASSERT_EQ(SerialCancelWrite(pair.line), 0);
    writer.join();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(block.size()));

    EXPECT_EQ(SerialWrite(pair.line, "late", 4), 0) << "the cancel holds until the purge";
    ASSERT_EQ(SerialPurge(pair.line, kPurgeOutput), 0);
    ASSERT_EQ(SerialPurge(pair.pty.Master, kPurgeInput), 0);
    EXPECT_EQ(SerialWrite(pair.line, "next", 4), 4);
}

TEST(SerialIoTest, CloseEndsTheWaitAndTheWriteInProgress) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    const int32_t line = SerialOpen(pty.SlavePath);
    ASSERT_GT(line, 0);
    SerialSetEventMask(line, ev_RxChar);
    const std::vector<char> block(1 << 20, 'x');
    std::atomic<int> waitResult{1};
    std::atomic<int> written{-1};
    std::thread waiter([&] {
        uint32_t events = 0;
        waitResult = SerialWaitEvent(line, events);
    });
    std::thread writer(
        [&] { written = SerialWrite(line, block.data(), static_cast<int32_t>(block.size())); });
    uint32_t events = 0;
    SerialSetEventMask(pty.Master, ev_RxChar);
    ASSERT_EQ(SerialWaitEvent(pty.Master, events), 0); // the writer has started
    EXPECT_EQ(SerialClose(line), 0);
    waiter.join();
    writer.join();
    EXPECT_EQ(waitResult, -kSerialBadHandle);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(block.size()));
    PtyClose(pty);
}

// A line on a pseudo-terminal, watched for input and errors, whose far end has gone away; 0 when
// it cannot be had.
int32_t LineWhoseFarEndWentAway() {
    TPtyPair pty;
    if (PtyOpen(pty) != 0) {
        return 0;
    }
    const int32_t line = SerialOpen(pty.SlavePath);
    if (line > 0) {
        SerialSetEventMask(line, ev_RxChar | ev_Err);
    }
    PtyClose(pty);
    return line;
}

TEST(SerialIoTest, HangUpIsReportedOnceAndTheWaitThenStaysQuiet) {
    const int32_t line = LineWhoseFarEndWentAway();
    ASSERT_GT(line, 0);

    uint32_t events = 0;
    ASSERT_EQ(SerialWaitEvent(line, events, 2000000), 0);
    EXPECT_EQ(events, ev_Err);
    EXPECT_TRUE(SerialHungUp(line));
    uint32_t errors = 0;
    TComStat stat;
    // Reported once, also to a caller that leaves the input count out.
    ASSERT_EQ(SerialClearError(line, errors, stat, false), 0);
    EXPECT_EQ(errors, CE_HANGUP);
    ASSERT_EQ(SerialClearError(line, errors, stat), 0);
    EXPECT_EQ(errors, 0u);

    const double cpuBefore = ThreadCpuMs();
    ASSERT_EQ(SerialWaitEvent(line, events, 200000), 0);
    const double cpuUsed = ThreadCpuMs() - cpuBefore;
    EXPECT_EQ(events, 0u);
    EXPECT_LT(cpuUsed, 20.0) << "a hung-up line must not keep the wait busy";

    char buffer[8];
    EXPECT_EQ(SerialRead(line, buffer, sizeof buffer), 0);
    EXPECT_LT(SerialWrite(line, "x", 1), 0);
    EXPECT_EQ(SerialClose(line), 0);
}

// A static constructor of a program may wait on a line before the library's own initialisation
// has run: the application's end is then already the descriptor its waits poll, not
// descriptor 0 (standard input, which at its end would keep every wait awake).
const int terminatingFdOfAStaticConstructor = ApplicationTerminatingFd();

TEST(SerialIoTest, StaticConstructorsWaitOnTheApplicationsEnd) {
    EXPECT_EQ(terminatingFdOfAStaticConstructor, ApplicationTerminatingFd());
    EXPECT_GT(terminatingFdOfAStaticConstructor, STDERR_FILENO);
}

// A reader waiting for the device itself: woken by bytes, by its other descriptor, by the
// application's end, by the close; while it takes the input the event wait does not report
// it, and gives it back after.
TEST(SerialIoTest, ReaderWaitsForInputAndTakesItOverFromEventWaits) {
    TLinePair pair;
    const int other = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(SerialWaitInput(pair.line, other, 10), 0) << "nothing arrived";
    const uint64_t one = 1;
    ASSERT_EQ(write(other, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_EQ(SerialWaitInput(pair.line, other, 5000), 0) << "ended by the other descriptor";
    close(other);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetApplicationTerminating(true);
    });
    EXPECT_EQ(SerialWaitInput(pair.line, -1, 60000), 0) << "ended by the application's end";
    stopper.join();
    EXPECT_EQ(SerialWaitInput(pair.line, -1, 60000), 0) << "and at once while it lasts";
    SetApplicationTerminating(false);
    pollfd ended{ApplicationTerminatingFd(), POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 0), 0) << "no longer once it is over";

    SerialSetEventMask(pair.line, ev_RxChar);
    ASSERT_EQ(SerialReaderTakesInput(pair.line, true), 0);
    ASSERT_EQ(SerialWrite(pair.pty.Master, "ab", 2), 2);
    EXPECT_EQ(SerialWaitInput(pair.line, -1, 5000), 1);
    uint32_t events = 0;
    ASSERT_EQ(SerialWaitEvent(pair.line, events, kShortUs), 0);
    EXPECT_EQ(events, 0u) << "the reader takes the input";
    EXPECT_EQ(ReadExactly(pair.line, 1), "a");

    ASSERT_EQ(SerialReaderTakesInput(pair.line, false), 0);
    ASSERT_EQ(SerialWaitEvent(pair.line, events, 2000000), 0);
    EXPECT_EQ(events, ev_RxChar) << "bytes left over are reported once the reader is gone";
    EXPECT_EQ(ReadExactly(pair.line, 1), "b");

    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SerialClose(pair.line);
    });
    EXPECT_LT(SerialWaitInput(pair.line, -1, 5000), 0) << "the close ends the wait";
    closer.join();
    pair.line = 0;
    EXPECT_LT(SerialReaderTakesInput(0, true), 0);
}

TEST(SerialIoTest, ReaderWaitOnAHungUpLineDoesNotSpin) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    const int32_t line = SerialOpen(pty.SlavePath);
    ASSERT_GT(line, 0);
    PtyClose(pty);
    SerialWaitInput(line, -1, 200); // notices the hang-up
    EXPECT_TRUE(SerialHungUp(line));
    const double cpuBefore = ThreadCpuMs();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SerialWaitInput(line, -1, 50), 0);
    }
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 20.0) << "a hung-up line must not end every wait";
    EXPECT_EQ(SerialClose(line), 0);
}

TEST(SerialIoTest, QueueCountsAndPurgeOfInput) {
    TLinePair pair;
    ASSERT_EQ(SerialWrite(pair.pty.Master, "12345", 5), 5);
    uint32_t events = 0;
    ASSERT_EQ(SerialWaitEvent(pair.line, events), 0);
    uint32_t errors = 0;
    TComStat stat;
    ASSERT_EQ(SerialClearError(pair.line, errors, stat), 0);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    ASSERT_EQ(SerialClearError(pair.line, errors, stat, false), 0);
    EXPECT_EQ(stat.cbInQue, 0u) << "not asked for";
    ASSERT_EQ(SerialClearError(pair.line, errors, stat), 0);
    EXPECT_EQ(stat.cbInQue, 5u) << "and nothing taken meanwhile";
    ASSERT_EQ(SerialPurge(pair.line, kPurgeInput), 0);
    char buffer[8];
    EXPECT_EQ(SerialRead(pair.line, buffer, sizeof buffer), 0);
}

TEST(SerialIoTest, LineCallsOnADeviceWithoutModemLinesAreQuietSuccesses) {
    TLinePair pair;
    uint32_t status = 0;
    ASSERT_EQ(SerialGetModemStatus(pair.line, status), 0);
    EXPECT_EQ(status, ms_CtsOn | ms_DsrOn);
    for (const int function : {escSetRts, escClrRts, escSetDtr, escClrDtr}) {
        EXPECT_EQ(SerialEscape(pair.line, function), 0);
    }
    EXPECT_EQ(SerialSetBreak(pair.line, true), 0);
    EXPECT_EQ(SerialSetBreak(pair.line, false), 0);
    EXPECT_EQ(SerialSetLowLatency(pair.line, true), 0);
    EXPECT_EQ(SerialSetupQueues(pair.line, 8192, 4096), 0);
}

// A program with several lines asks for each of them: a stop signal must end the waits on all,
// not only on the line asked for last.
TEST(SerialIoTest, AStopSignalEndsTheWaitsOfEveryLineAskedFor) {
    TLinePair first;
    TLinePair second;
    ASSERT_EQ(SerialWakeOnStopSignals(first.line), 0);
    ASSERT_EQ(SerialWakeOnStopSignals(second.line), 0);
    auto waitOn = [](int32_t line) {
        return std::async(std::launch::async, [line] {
            uint32_t events = 0;
            return SerialWaitEvent(line, events);
        });
    };
    std::future<int> firstWait = waitOn(first.line);
    std::future<int> secondWait = waitOn(second.line);
    raise(SIGTERM);
    const bool firstEnded =
        firstWait.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool secondEnded =
        secondWait.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    // A wait the signal left running is ended by closing its line.
    SerialClose(first.line);
    SerialClose(second.line);
    first.line = 0;
    second.line = 0;
    EXPECT_TRUE(firstEnded);
    EXPECT_TRUE(secondEnded);
    EXPECT_EQ(firstWait.get(), 0);
    EXPECT_EQ(secondWait.get(), 0);
    EXPECT_TRUE(ApplicationTerminating());
    SetApplicationTerminating(false);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// Once its hang-up has been reported a line is no longer watched, but a stop signal still ends
// the wait: a program sitting on a line whose far end went away must still be able to finish.
TEST(SerialIoTest, AStopSignalEndsTheWaitOnAHungUpLine) {
    const int32_t line = LineWhoseFarEndWentAway();
    ASSERT_GT(line, 0);
    uint32_t events = 0;
    ASSERT_EQ(SerialWaitEvent(line, events, 2000000), 0);
    ASSERT_EQ(events, ev_Err);
    ASSERT_EQ(SerialWakeOnStopSignals(line), 0);
    std::future<int> wait = std::async(std::launch::async, [line] {
        uint32_t later = 0;
        return SerialWaitEvent(line, later);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the wait has begun
    raise(SIGTERM);
    const bool ended = wait.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    SerialClose(line); // ends a wait the signal left running
    EXPECT_TRUE(ended);
    EXPECT_EQ(wait.get(), 0);
    SetApplicationTerminating(false);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

} // namespace
} // namespace kivo
