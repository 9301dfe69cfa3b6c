#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm/dispatch/kwuser.h"

namespace kivo {
namespace {

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

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Lowers the address-space limit to what the process uses now and a little more, so that a
// large allocation fails. The sanitizers' own reservations do not survive such a limit.
class TightAddressSpace {
public:
    TightAddressSpace() {
        getrlimit(RLIMIT_AS, &saved_);
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            EXPECT_EQ(std::fscanf(statm, "%ld", &pages), 1);
            std::fclose(statm);
        }
        rlimit tight = saved_;
        tight.rlim_cur =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) + (rlim_t{256} << 20);
        EXPECT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    }
    ~TightAddressSpace() { setrlimit(RLIMIT_AS, &saved_); }
    TightAddressSpace(const TightAddressSpace&) = delete;
    TightAddressSpace& operator=(const TightAddressSpace&) = delete;

private:
    rlimit saved_{};
};

TEST(LogRing, ARingWithoutMemoryForItsScratchLeavesLoggingOffUntilANewStart) {
    TKvDispatchLog log;
    {
        TightAddressSpace tight;
        EXPECT_NO_THROW(log.Init(64, UINT32_MAX));
    }
    EXPECT_FALSE(log.On());
    EXPECT_FALSE(log.Present());
    log.Init(64, kScratch);
    EXPECT_TRUE(log.On());
    AddBlock(log, 1, "a");
    EXPECT_EQ(DataOf(PopAll(log)), (std::vector<uint32_t>{1}));
}
#endif

} // namespace
} // namespace kivo
