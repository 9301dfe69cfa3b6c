#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/dispatch/kwuser.h"
#include "tests/fakes/scratchdir.h"

namespace kivo {
namespace {

using testing::TScratchDir;

constexpr uint32_t kScratch = 8192;

void AddBlock(TKvDispatchLog& log, uint32_t data, const std::string& block) {
    log.Add(dtDispatch, dstReadCom, 0, data, block.data(), static_cast<uint32_t>(block.size()));
}

struct PoppedEntry {
    uint32_t data;
    std::string block;
};

// Empties the ring, oldest entry first.
std::vector<PoppedEntry> PopAll(TKvDispatchLog& log) {
    std::vector<PoppedEntry> entries;
    TDispatchRecord header;
    std::vector<uint8_t> block(kScratch);
    uint32_t length = 0;
    while (!log.PopLast(header, block.data(), kScratch, length)) {
        EXPECT_EQ(header.blockLength, length);
        entries.push_back({header.data, std::string(block.begin(), block.begin() + length)});
    }
    return entries;
}

std::vector<uint32_t> DataOf(const std::vector<PoppedEntry>& entries) {
    std::vector<uint32_t> data;
    for (const PoppedEntry& entry : entries) {
        data.push_back(entry.data);
    }
    return data;
}

TEST(LogRing, ANewEntryEvictsTheOldestAndWrapsAcrossTheEnd) {
    TKvDispatchLog log;
    log.Init(64, kScratch);
    AddBlock(log, 1, std::string(20, 'a'));
    AddBlock(log, 2, "bbbb");
    AddBlock(log, 3, "0123456789");
    const auto entries = PopAll(log);
    ASSERT_EQ(DataOf(entries), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(entries[0].block, "bbbb");
    EXPECT_EQ(entries[1].block, "0123456789");

    // The ring stays consistent after wrapping: it can be filled and emptied again.
    for (uint32_t n = 10; n < 30; ++n) {
        AddBlock(log, n, std::string(n % 7, 'x'));
    }
    const auto later = PopAll(log);
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back().data, 29u);
    EXPECT_EQ(later.back().block, std::string(29 % 7, 'x'));
}

TEST(LogRing, EntriesThatCannotBeStoredWholeAreRefusedWithTheirHeader) {
    TKvDispatchLog log;
    log.Init(64, 40);
    AddBlock(log, 1, "keep");
    AddBlock(log, 2, std::string(64, 'z')); // as long as the ring
    AddBlock(log, 3, std::string(49, 'z')); // fits alone, but not behind its header
    AddBlock(log, 4, std::string(41, 'z')); // longer than the dump's scratch buffer
    log.Add(dtDispatch, dstReadCom, 0, 5, nullptr, 3);
    auto entries = PopAll(log);
    ASSERT_EQ(DataOf(entries), (std::vector<uint32_t>{1}));
    EXPECT_EQ(entries[0].block, "keep");

    AddBlock(log, 6, std::string(40, 'y')); // header and block fill 56 of the 64 bytes
    entries = PopAll(log);
    ASSERT_EQ(DataOf(entries), (std::vector<uint32_t>{6}));
    EXPECT_EQ(entries[0].block, std::string(40, 'y'));
}

TEST(LogRing, AnEntryFillingTheWholeRingIsKept) {
    TKvDispatchLog log;
    log.Init(64, kScratch);
    AddBlock(log, 1, "a");
    AddBlock(log, 2, std::string(48, 'b'));
    const auto entries = PopAll(log);
    ASSERT_EQ(DataOf(entries), (std::vector<uint32_t>{2}));
    EXPECT_EQ(entries[0].block, std::string(48, 'b'));
}

TEST(LogRing, RawPushesFollowTheRingRules) {
    TKvDispatchLog log;
    log.Init(32, kScratch);
    const std::string bytes(32, 'x');
    EXPECT_FALSE(log.Push(bytes.data(), 32));
    EXPECT_FALSE(log.Push(nullptr, 4));
    EXPECT_TRUE(log.Push(bytes.data(), 0));

    // Bytes that do not make whole entries are dropped instead of being read past.
    EXPECT_TRUE(log.Push(bytes.data(), 10));
    TDispatchRecord header;
    uint32_t length = 7;
    EXPECT_TRUE(log.PopLast(header, nullptr, 0, length));
    EXPECT_EQ(length, 0u);

    TDispatchRecord lying{dtUser, dstNone, {0, 0}, 0, 0, 1000};
    EXPECT_TRUE(log.Push(&lying, sizeof lying));
    EXPECT_TRUE(log.PopLast(header, nullptr, 0, length));
    AddBlock(log, 9, "ok");
    EXPECT_EQ(DataOf(PopAll(log)), (std::vector<uint32_t>{9}));
}

TEST(LogRing, PopCopiesNoMoreThanTheCallerCanTake) {
    TKvDispatchLog log;
    log.Init(64, kScratch);
    AddBlock(log, 1, "abcdef");
    AddBlock(log, 2, "gh");
    TDispatchRecord header;
    char block[4] = {};
    uint32_t length = 0;
    ASSERT_FALSE(log.PopLast(header, reinterpret_cast<uint8_t*>(block), 4, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(block, 4), "abcd");
    EXPECT_EQ(DataOf(PopAll(log)), (std::vector<uint32_t>{2}));
}

TEST(LogRing, InitOnAPresentRingOnlyEmptiesIt) {
    TKvDispatchLog log;
    log.Init(64, kScratch);
    AddBlock(log, 1, "a");
    log.Stop();
    log.Init(4096, kScratch);
    EXPECT_FALSE(log.On());
    AddBlock(log, 2, std::string(60, 'b')); // the ring is still 64 bytes
    EXPECT_TRUE(PopAll(log).empty());
    log.Start();
    EXPECT_TRUE(log.On());
}

TEST(LogRing, ARingOfNoBytesRefusesEverything) {
    TKvDispatchLog log;
    log.Init(0, kScratch);
    EXPECT_TRUE(log.On());
    EXPECT_FALSE(log.Present());
    AddBlock(log, 1, "");
    EXPECT_FALSE(log.Push("a", 1));
    EXPECT_TRUE(PopAll(log).empty());
    log.Stop();
    log.Start();
    EXPECT_FALSE(log.On());
}

class LogDump : public ::testing::Test {
protected:
    bool FileExists() const { return std::filesystem::exists(path_); }
    // The dump without its five header lines.
    std::string Body() const {
        const std::string text = scratch_.Read("log.txt");
        size_t at = 0;
        for (int line = 0; line < 5 && at != std::string::npos; ++line) {
            at = text.find("\r\n", at);
            at = at == std::string::npos ? at : at + 2;
        }
        return at == std::string::npos ? std::string() : text.substr(at);
    }

    TScratchDir scratch_;
    std::string path_ = scratch_.File("log.txt");
    TKvDispatchLog log_;
};

TEST_F(LogDump, WritesTheHeaderAndEveryEntryThenEndsLogging) {
    log_.Init(256, kScratch);
    log_.Add(dtTrigger, dstData, 1234, 16, nullptr, 0);
    log_.Add(dtDispatch, dstReadCom, 1240, 2, "OK", 2);
    ASSERT_EQ(log_.Dump(path_.c_str(), false, true, false), 0);
    EXPECT_EQ(scratch_.Read("log.txt").rfind("KIVO v3.01\r\nCompiler : ", 0), 0u);
    EXPECT_EQ(Body(), "0001.234  Trigger   Data          00000010  \r\n"
                      "0001.240  Dispatch  ReadCom       00000002  OK\r\n");
    EXPECT_FALSE(log_.Present());
    EXPECT_FALSE(log_.On());
}

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

} // namespace
} // namespace kivo
