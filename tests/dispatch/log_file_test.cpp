#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/fakes/fake_device.h"
#include "tests/fakes/scratchdir.h"

namespace kivo {
namespace {

using testing::TFakeDispatcher;
using testing::TScratchDir;

// The dump without its five header lines.
std::string LogBody(const std::string& text) {
    size_t at = 0;
    for (int line = 0; line < 5; ++line) {
        at = text.find("\r\n", at);
        if (at == std::string::npos) {
            return {};
        }
        at += 2;
    }
    return text.substr(at);
}

// Milliseconds are not under the test's control: the time column of every entry becomes "T".
std::string WithoutTimes(const std::string& body) {
    std::string out;
    for (size_t at = 0; at < body.size();) {
        const size_t end = std::min(body.find("\r\n", at), body.size() - 2) + 2;
        std::string line = body.substr(at, end - at);
        if (line[0] != ' ') {
            line.replace(0, line.find("  "), "T");
        }
        out += line;
        at = end;
    }
    return out;
}

constexpr uint32_t kScratch = 8192;

class LogDump : public ::testing::Test {
protected:
    bool FileExists() const { return std::filesystem::exists(path_); }
    std::string Body() const { return LogBody(scratch_.Read("log.txt")); }

    TScratchDir scratch_;
    std::string path_ = scratch_.File("log.txt");
    TKvDispatchLog log_;
};

TEST_F(LogDump, AnEmptyLogWritesNoFile) {
    log_.Init(256, kScratch);
    EXPECT_EQ(log_.Dump(path_.c_str(), false, false, false), 0);
    EXPECT_FALSE(FileExists());
    EXPECT_FALSE(log_.On());

    TKvDispatchLog none;
    none.Init(0, kScratch);
    EXPECT_EQ(none.Dump(path_.c_str(), false, false, false), 0);
    EXPECT_FALSE(FileExists());
    EXPECT_FALSE(none.On());
}

TEST_F(LogDump, AppendAddsToTheFileAndDumpReplacesIt) {
    scratch_.Write("log.txt", "earlier\r\n");
    log_.Init(256, kScratch);
    log_.Add(dtUser, dstNone, 0, 0, "one", 3);
    ASSERT_EQ(log_.Dump(path_.c_str(), true, false, false), 0);
    const std::string appended = scratch_.Read("log.txt");
    EXPECT_EQ(appended.rfind("earlier\r\nKIVO v3.01\r\n", 0), 0u);

    log_.Init(256, kScratch);
    log_.Add(dtUser, dstNone, 0, 0, "two", 3);
    ASSERT_EQ(log_.Dump(path_.c_str(), false, false, false), 0);
    EXPECT_EQ(Body(), "0000.000  User                    00000000  two\r\n");
}

TEST_F(LogDump, AFileThatCannotBeOpenedKeepsTheEntries) {
    log_.Init(256, kScratch);
    log_.Add(dtUser, dstNone, 0, 0, "kept", 4);
    EXPECT_EQ(log_.Dump(scratch_.Path().c_str(), false, false, false), -5);
    EXPECT_EQ(log_.Dump(scratch_.File("missing/log.txt").c_str(), false, false, false), -2);
    EXPECT_TRUE(log_.Present());
    EXPECT_FALSE(log_.On());
    ASSERT_EQ(log_.Dump(path_.c_str(), false, false, false), 0);
    EXPECT_EQ(Body(), "0000.000  User                    00000000  kept\r\n");
}

TEST_F(LogDump, AFullDiskIsReportedAndTheEntriesAreGone) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    log_.Init(256, kScratch);
    log_.Add(dtUser, dstNone, 0, 0, "lost", 4);
    EXPECT_EQ(log_.Dump("/dev/full", false, false, false), -101);
    EXPECT_FALSE(log_.Present());
}

TEST_F(LogDump, ALargeLogIsWrittenWhole) {
    // More text than one write piece, so the dump writes several.
    log_.Init(1 << 20, kScratch);
    const std::string block(200, 'q');
    for (uint32_t n = 0; n < 2000; ++n) {
        log_.Add(dtDispatch, dstWriteCom, n, n, block.data(), 200);
    }
    ASSERT_EQ(log_.Dump(path_.c_str(), false, false, false), 0);
    const std::string body = Body();
    size_t lines = 0;
    for (size_t at = 0; (at = body.find("\r\n", at)) != std::string::npos; at += 2) {
        ++lines;
    }
    EXPECT_EQ(lines, 2000u * 7); // 200 items at 33 a line
    EXPECT_NE(body.find("0001.999  Dispatch  WriteCom      000007CF  qqq"), std::string::npos);
}

class PortRecording : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port_.Open(), 0); }

    TScratchDir scratch_;
    TFakeDispatcher port_;
};

TEST_F(PortRecording, TheLogListsWritesReadsAndUserText) {
    port_.InitDispatchLogging(4096);
    port_.PutString("US");
    port_.ScriptInput("OK");
    port_.ExtractData();
    port_.AddStringToLog("done");
    const std::string file = scratch_.File("KIVO.LOG");
    ASSERT_EQ(port_.DumpDispatchLog(file.c_str(), false, false), 0);
    EXPECT_EQ(scratch_.Read("KIVO.LOG").rfind("KIVO v3.01\r\nCompiler : ", 0), 0u);
    EXPECT_EQ(WithoutTimes(LogBody(scratch_.Read("KIVO.LOG"))),
              "T  Dispatch  WriteCom      00000002  US\r\n"
              "T  Dispatch  ReadCom       00000002  OK\r\n"
              "T  User                    00000000  done\r\n");
    EXPECT_FALSE(port_.dlog.Present());
}

TEST_F(PortRecording, EntriesAreTimedFromTheOpeningOfThePort) {
    port_.InitDispatchLogging(4096);
    port_.logTimeBase = KvTimeGetTime() - 61234;
    port_.AddStringToLog("x");
    const std::string file = scratch_.File("KIVO.LOG");
    ASSERT_EQ(port_.DumpDispatchLog(file.c_str(), false, false), 0);
    const std::string body = LogBody(scratch_.Read("KIVO.LOG"));
    EXPECT_EQ(body.rfind("0061.2", 0), 0u) << body;
}

TEST_F(PortRecording, APausedLogRecordsNothingOfItsOwnButTakesDirectEntries) {
    port_.InitDispatchLogging(4096);
    port_.StopDispatchLogging();
    port_.AddStringToLog("lost");
    port_.PutString("lost");
    port_.AddDispatchEntry(dtUser, dstNone, 0, "direct", 6);
    port_.StartDispatchLogging();
    port_.AddStringToLog("kept");
    const std::string file = scratch_.File("KIVO.LOG");
    ASSERT_EQ(port_.DumpDispatchLog(file.c_str(), false, false), 0);
    EXPECT_EQ(WithoutTimes(LogBody(scratch_.Read("KIVO.LOG"))),
              "T  User                    00000000  direct\r\n"
              "T  User                    00000000  kept\r\n");
}

TEST_F(PortRecording, AReadOfAWholeInputRingIsLoggedWhole) {
    // The port asked for a 4096-byte input queue, but the input ring always takes 8192 bytes
    // and a read may fill all of it.
    port_.InitDispatchLogging(1 << 16);
    port_.ScriptInput(std::string(8192, 'r'));
    port_.ExtractData();
    const std::string file = scratch_.File("KIVO.LOG");
    ASSERT_EQ(port_.DumpDispatchLog(file.c_str(), false, false), 0);
    const std::string body = LogBody(scratch_.Read("KIVO.LOG"));
    EXPECT_NE(body.find("Dispatch  ReadCom       00002000  rrr"), std::string::npos);
    EXPECT_EQ(std::count(body.begin(), body.end(), 'r'), 8192);
}

TEST_F(PortRecording, RecordingWaitsForARunningDump) {
    // Bytes queued while a dump runs land either in the dump or after it, never half-way.
    ASSERT_EQ(port_.InitTracing(200000), 0);
    port_.InitDispatchLogging(1 << 20);
    for (int n = 0; n < 50000; ++n) {
        port_.AddTraceEntry('T', 'u');
    }
    std::thread writer([&] {
        for (int n = 0; n < 20000; ++n) {
            port_.AddTraceEntry('R', 'w');
            port_.AddDispatchEntry(dtUser, dstNone, 0, "b", 1);
        }
    });
    const std::string trace = scratch_.File("KIVO.TRC");
    const std::string log = scratch_.File("KIVO.LOG");
    EXPECT_EQ(port_.DumpTrace(trace.c_str(), false, false), 0);
    EXPECT_EQ(port_.DumpDispatchLog(log.c_str(), false, false), 0);
    writer.join();
    const std::string text = scratch_.Read("KIVO.TRC");
    EXPECT_EQ(text.rfind("Transmit: \r\n", 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), 'u'), 50000);
}

} // namespace
} // namespace kivo
