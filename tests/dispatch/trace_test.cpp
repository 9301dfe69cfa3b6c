#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/dispatch/kwuser.h"
#include "comm/dispatch/kwuser_render.h"
#include "comm/platform/framework.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/scratchdir.h"

namespace kivo {
namespace {

using testing::TFakeDispatcher;
using testing::TScratchDir;

std::string Render(const std::vector<std::pair<char, uint8_t>>& entries, bool inHex = false,
                   bool allHex = false) {
    TTraceRenderer renderer(inHex, allHex);
    std::string out;
    for (const auto& [kind, data] : entries) {
        renderer.Entry(kind, data, out);
    }
    return out;
}

std::vector<std::pair<char, uint8_t>> Entries(char kind, const std::string& bytes) {
    std::vector<std::pair<char, uint8_t>> entries;
    for (const char c : bytes) {
        entries.emplace_back(kind, static_cast<uint8_t>(c));
    }
    return entries;
}

void Record(TKvTraceQueue& trace, char kind, const std::string& bytes) {
    for (const char c : bytes) {
        trace.Add(kind, c);
    }
}

TEST(TraceText, GroupsTheExchangeUnderHeadersWithAnEmptyLineBetween) {
    auto entries = Entries('T', "US");
    for (const auto& entry : Entries('R', "OK\r")) {
        entries.push_back(entry);
    }
    EXPECT_EQ(Render(entries), "Transmit: \r\nUS\r\n\r\nReceive: \r\nOK[13]");
}

TEST(TraceText, ApplicationEntriesGetAHeaderNamingTheirKind) {
    EXPECT_EQ(Render({{'X', 'a'}, {'X', 'b'}, {'R', 'c'}, {'X', 'd'}}),
              "Special-X: \r\nab\r\n\r\nReceive: \r\nc\r\n\r\nSpecial-X: \r\nd");
}

TEST(TraceText, ItemRulesFollowTheHexOptions) {
    EXPECT_EQ(Render(Entries('R', " ~\x7f")), "Receive: \r\n ~[127]");
    EXPECT_EQ(Render(Entries('R', " !\x7f"), true, false), "Receive: \r\n[20]![7F]");
    EXPECT_EQ(Render(Entries('R', "A\x01"), false, true), "Receive: \r\n[41][01]");
    EXPECT_EQ(Render({{'R', 0}, {'R', 9}, {'R', 10}, {'R', 31}, {'R', 200}, {'R', 255}}),
              "Receive: \r\n[0][9][10][31][200][255]");
}

TEST(TraceText, LinesHoldAtMost78ColumnsAndItemsAreNeverSplit) {
    const std::string line78(78, 'a');
    EXPECT_EQ(Render(Entries('T', line78 + "b")), "Transmit: \r\n" + line78 + "\r\nb");

    // "[200]" takes 5 columns: after 73 characters it still fits, after 74 it moves on.
    auto fits = Entries('T', std::string(73, 'a'));
    fits.emplace_back('T', 200);
    EXPECT_EQ(Render(fits), "Transmit: \r\n" + std::string(73, 'a') + "[200]");
    auto moves = Entries('T', std::string(74, 'a'));
    moves.emplace_back('T', 200);
    EXPECT_EQ(Render(moves), "Transmit: \r\n" + std::string(74, 'a') + "\r\n[200]");

    // All in hex: 19 items of 4 columns make a line.
    std::string hexLine;
    for (int n = 0; n < 19; ++n) {
        hexLine += "[41]";
    }
    EXPECT_EQ(Render(Entries('R', std::string(20, 'A')), false, true),
              "Receive: \r\n" + hexLine + "\r\n[41]");
}

TEST(TraceText, ANewGroupStartsItsLineCountAgain) {
    auto entries = Entries('T', std::string(70, 'a'));
    for (const auto& entry : Entries('R', std::string(78, 'b'))) {
        entries.push_back(entry);
    }
    EXPECT_EQ(Render(entries), "Transmit: \r\n" + std::string(70, 'a') + "\r\n\r\nReceive: \r\n" +
                                   std::string(78, 'b'));
}

class TraceDump : public ::testing::Test {
protected:
    std::string Dump(TKvTraceQueue& trace, bool append = false) {
        result_ = trace.Dump(path_.c_str(), append, false, false);
        return scratch_.Read("trace.txt");
    }
    bool FileExists() const { return std::filesystem::exists(path_); }

    TScratchDir scratch_;
    std::string path_ = scratch_.File("trace.txt");
    int result_ = 1;
};

TEST_F(TraceDump, AFullRingDumpsTheNewestEntriesOldestFirst) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(4), 0);
    Record(trace, 'T', "abcdef");
    EXPECT_EQ(Dump(trace), "Transmit: \r\ncdef");
    EXPECT_EQ(result_, 0);
    EXPECT_FALSE(trace.Present());
    EXPECT_FALSE(trace.On());
}

TEST_F(TraceDump, AWrappedRingKeepsTheKindsOfItsEntries) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(3), 0);
    Record(trace, 'T', "xy");
    Record(trace, 'R', "OK");
    EXPECT_EQ(Dump(trace), "Transmit: \r\ny\r\n\r\nReceive: \r\nOK");
}

TEST_F(TraceDump, TooManyEntriesAreRefusedAndChangeNothing) {
    TKvTraceQueue trace;
    EXPECT_EQ(trace.Init(TKvTraceQueue::MaxEntries + 1), -1002);
    EXPECT_FALSE(trace.Present());
    EXPECT_FALSE(trace.On());

    ASSERT_EQ(trace.Init(2), 0);
    EXPECT_EQ(trace.Init(TKvTraceQueue::MaxEntries + 1), 0); // a running trace ignores the size
    EXPECT_TRUE(trace.Present());

    TKvTraceQueue largest;
    EXPECT_EQ(largest.Init(TKvTraceQueue::MaxEntries), 0);
    EXPECT_TRUE(largest.Present());
}

TEST_F(TraceDump, InitOnARunningTraceEmptiesItAndKeepsItsCapacity) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(4), 0);
    Record(trace, 'T', "ab");
    trace.Stop();
    ASSERT_EQ(trace.Init(100), 0);
    EXPECT_TRUE(trace.On());
    Record(trace, 'R', "123456");
    EXPECT_EQ(Dump(trace), "Receive: \r\n3456");
}

TEST_F(TraceDump, NothingRecordedWritesNoFileAndEndsTracing) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(8), 0);
    Dump(trace);
    EXPECT_EQ(result_, 0);
    EXPECT_FALSE(FileExists());
    EXPECT_FALSE(trace.Present());

    TKvTraceQueue cleared;
    ASSERT_EQ(cleared.Init(8), 0);
    Record(cleared, 'T', "abc");
    cleared.Clear();
    Dump(cleared);
    EXPECT_EQ(result_, 0);
    EXPECT_FALSE(FileExists());
}

TEST_F(TraceDump, ATraceWithoutEntriesRecordsNothing) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(0), 0);
    EXPECT_TRUE(trace.On());
    EXPECT_FALSE(trace.Present());
    Record(trace, 'T', "abc");
    Dump(trace);
    EXPECT_EQ(result_, 0);
    EXPECT_FALSE(FileExists());
}

TEST_F(TraceDump, AppendKeepsWhatTheFileHeldAndDumpReplacesIt) {
    scratch_.Write("trace.txt", "before\r\n");
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(Dump(trace, true), "before\r\nTransmit: \r\na");

    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'R', "b");
    EXPECT_EQ(Dump(trace, false), "Receive: \r\nb");

    std::filesystem::remove(path_);
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'R', "c");
    EXPECT_EQ(Dump(trace, true), "Receive: \r\nc");
}

// A trace appended to over many runs outgrows 2 GiB; the next dump still goes on at its end.
TEST_F(TraceDump, AppendGoesOnAtTheEndOfAFileLargerThan2GiB) {
    const uintmax_t large = (uintmax_t{1} << 31) + 10;
    scratch_.Write("trace.txt", "");
    std::filesystem::resize_file(path_, large); // sparse: takes no room on the disk
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump(path_.c_str(), true, false, false), 0);
    ASSERT_EQ(std::filesystem::file_size(path_), large + 13);
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(large));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "Transmit: \r\na");
}

TEST_F(TraceDump, FileErrorsAreNegatedPlatformCodesAndEndTracing) {
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump(scratch_.Path().c_str(), false, false, false), -5); // a directory
    EXPECT_FALSE(trace.Present());
    EXPECT_FALSE(trace.On());

    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump(scratch_.File("missing/trace.txt").c_str(), false, false, false), -2);

    const std::string notADirectory = scratch_.Write("plain", "x") + "/trace.txt";
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump(notADirectory.c_str(), false, false, false), -3);

    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump(nullptr, false, false, false), -2);
    EXPECT_FALSE(trace.Present());
}

TEST_F(TraceDump, AFullDiskIsReportedAndEndsTracing) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    TKvTraceQueue trace;
    ASSERT_EQ(trace.Init(8), 0);
    Record(trace, 'T', "a");
    EXPECT_EQ(trace.Dump("/dev/full", false, false, false), -101);
    EXPECT_FALSE(trace.Present());
}

sem_t gSignalHandled;
std::atomic<bool> gDumping{false};
std::atomic<int> gHandledWhileDumping{0};

void OnSignal(int) {
    if (gDumping) {
        ++gHandledWhileDumping;
    }
    sem_post(&gSignalHandled);
}

struct TSignalledDump {
    int result = -1;
    std::string received; // what a reader of the pipe got
    int signals = 0;      // how many signals reached the dump
};

// Dumps a one-line trace into the named pipe `path` while a thread signals the dumping thread
// with a handler that has no SA_RESTART, a round trip at a time. A reader opens the pipe once
// `signalsBeforeReader` signals have reached the dump, and the signals go on until the dump has
// returned.
TSignalledDump DumpIntoAPipeThroughSignals(const std::string& path, int signalsBeforeReader) {
    TSignalledDump dump;
    if (mkfifo(path.c_str(), 0600) != 0 || sem_init(&gSignalHandled, 0, 0) != 0) {
        ADD_FAILURE() << "no named pipe or semaphore";
        return dump;
    }
    gHandledWhileDumping = 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    TKvTraceQueue trace;
    trace.Init(8);
    Record(trace, 'T', "US");

    const pthread_t dumper = pthread_self();
    std::atomic<bool> dumped{false};
    int reader = -1;
    std::thread signaller([&] {
        const auto signalOnce = [&] {
            pthread_kill(dumper, SIGUSR1);
            while (sem_wait(&gSignalHandled) != 0) {
            }
        };
        while (gHandledWhileDumping < signalsBeforeReader && !dumped) {
            signalOnce();
        }
        reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        while (!dumped) {
            signalOnce();
        }
    });
    gDumping = true;
    dump.result = trace.Dump(path.c_str(), false, false, false);
    gDumping = false;
    dumped = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    sem_destroy(&gSignalHandled);
    dump.signals = gHandledWhileDumping;
    if (reader >= 0) {
        char text[64] = {};
        const ssize_t got = read(reader, text, sizeof text);
        dump.received.assign(text, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        close(reader);
    }
    return dump;
}

// A program that catches signals without SA_RESTART (an interval timer, children ending) may
// trace to a named pipe whose reader comes only later: the dump waits for that reader through
// the signals.
TEST_F(TraceDump, ANamedPipeIsWaitedForThroughCaughtSignals) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer may hold a signal back until the thread's next intercepted "
                    "call, which a thread blocked in the open does not make";
#endif
    const TSignalledDump dump = DumpIntoAPipeThroughSignals(path_, 100);
    EXPECT_EQ(dump.result, 0);
    EXPECT_EQ(dump.received, "Transmit: \r\nUS");
}

// Asked to stop (Ctrl-C, a logout) while the dump waits for the reader of a named pipe, the
// program ends instead of waiting on: the first caught signal then ends the wait, and the dump
// fails. A reader comes only when a hundred thousand signals have not ended the wait. (Far
// fewer would do on a quiet machine, but on a loaded one a thread woken by the handler can send
// the next signal before the dumping thread has left the last handler, and a few hundred
// signals may be handled on either side of the open.)
TEST_F(TraceDump, ANamedPipeIsNotWaitedForOnceTheApplicationIsTerminating) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer may hold a signal back until the thread's next intercepted "
                    "call, which a thread blocked in the open does not make";
#endif
    SetApplicationTerminating(true);
    constexpr int kSignalsBeforeReader = 100000;
    const TSignalledDump dump = DumpIntoAPipeThroughSignals(path_, kSignalsBeforeReader);
    SetApplicationTerminating(false);
    EXPECT_NE(dump.result, 0);
    EXPECT_LT(dump.signals, kSignalsBeforeReader);
    EXPECT_EQ(dump.received, "");
}

class PortTrace : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port_.Open(), 0); }

    TScratchDir scratch_;
    TFakeDispatcher port_;
};

TEST_F(PortTrace, TheTraceShowsTheExchangeInTheOrderItPassed) {
    ASSERT_EQ(port_.InitTracing(100), 0);
    port_.PutString("US");
    port_.ScriptInput("OK\r");
    port_.ExtractData();
    char c = 0;
    for (const char expected : std::string("OK\r")) {
        ASSERT_EQ(port_.GetChar(c), 0);
        EXPECT_EQ(c, expected);
    }
    const std::string file = scratch_.File("KIVO.TRC");
    ASSERT_EQ(port_.DumpTrace(file.c_str(), false, false), 0);
    EXPECT_EQ(scratch_.Read("KIVO.TRC"), "Transmit: \r\nUS\r\n\r\nReceive: \r\nOK[13]");
    EXPECT_FALSE(port_.trace.Present());
}

TEST_F(PortTrace, APausedTraceRecordsNoTrafficButKeepsApplicationEntries) {
    ASSERT_EQ(port_.InitTracing(100), 0);
    port_.PutString("a");
    port_.StopTracing();
    port_.PutString("b");
    port_.AddTraceEntry('X', '!');
    port_.StartTracing();
    port_.PutString("c");
    const std::string file = scratch_.File("KIVO.TRC");
    ASSERT_EQ(port_.AppendTrace(file.c_str(), true, false), 0);
    EXPECT_EQ(scratch_.Read("KIVO.TRC"),
              "Transmit: \r\na\r\n\r\nSpecial-X: \r\n!\r\n\r\nTransmit: \r\nc");
}

} // namespace
} // namespace kivo
