#include "comm/errors/kvsrmgr.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/errors/kvexcept.h"
#include "tests/errors/str0_test_blob.h"

namespace kivo {
namespace {

using test::ScopedResource;
using test::Str0Blob;

uint32_t LE32(const std::vector<uint8_t>& blob, size_t at) {
    return blob[at] | (blob[at + 1] << 8) | (blob[at + 2] << 16) | (uint32_t{blob[at + 3]} << 24);
}

std::vector<uint8_t> BuiltinBlob(const std::string& name) {
    for (const TBuiltinStringTable& table : BuiltinStringTables()) {
        if (name == table.name) {
            return {table.bytes.begin(), table.bytes.end()};
        }
    }
    return {};
}

std::string OpenFailure(const std::string& name) {
    try {
        TKvStringResource reader(kMainInstance, name);
    } catch (const EZorStringResourceError& e) {
        return e.Message();
    }
    return "(opened)";
}

TEST(StringTableLayout, ReaderTableHasFiveSortedRecordsAndTextsFromByte68) {
    const std::vector<uint8_t> blob = BuiltinBlob("KVSRMGR_STRINGS");
    ASSERT_EQ(blob.size(), 324u);
    EXPECT_EQ(0, std::memcmp(blob.data(), "STR0", 4));
    EXPECT_EQ(LE32(blob, 4), 5u);
    uint32_t expectedOffset = 68;
    for (uint32_t i = 0; i < 5; ++i) {
        const size_t rec = 8 + 12 * i;
        EXPECT_EQ(LE32(blob, rec), i + 1);
        EXPECT_EQ(LE32(blob, rec + 4), expectedOffset);
        expectedOffset += 2 * LE32(blob, rec + 8);
    }
    EXPECT_EQ(expectedOffset, 324u);
    // The first text starts right after the index, in UTF-16LE.
    EXPECT_EQ(blob[68], 'S');
    EXPECT_EQ(blob[69], 0);
    EXPECT_EQ(ZorResStrings().GetString(5), "Invalid KSString resource");
}

TEST(StringTableLayout, ErrorTableTextsFollowTheIndexBackToBack) {
    const std::vector<uint8_t> blob = BuiltinBlob("KIVO_ERROR_STRINGS_ENGLISH");
    ASSERT_GE(blob.size(), 8u);
    const uint32_t count = LE32(blob, 4);
    ASSERT_EQ(count, 829u);
    uint32_t expectedOffset = 9956;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t rec = 8 + 12 * i;
        ASSERT_EQ(LE32(blob, rec + 4), expectedOffset) << "record " << i;
        expectedOffset += 2 * LE32(blob, rec + 8);
        if (i > 0) {
            ASSERT_LT(static_cast<int32_t>(LE32(blob, rec - 12)),
                      static_cast<int32_t>(LE32(blob, rec)));
        }
    }
    EXPECT_EQ(expectedOffset, blob.size());
}

TEST(StringTableLookup, FindsFirstAndLastIdentifiersAndNothingBetweenRows) {
    EXPECT_EQ(ZorResStrings().GetString(1), "String not found: %d");
    EXPECT_EQ(ZorResStrings().GetString(5), "Invalid KSString resource");
    EXPECT_EQ(ZorResStrings().GetString(0), "");
    EXPECT_EQ(ZorResStrings().GetString(6), "");

    const TKvStringResource& errors = KivoErrorStrings();
    EXPECT_EQ(errors.GetString(0), "OK");
    EXPECT_EQ(errors.GetString(15742), "Character Set");
    EXPECT_EQ(errors.GetString(2011), "The ComNumber property of the TKvdComPort has not been set");
    EXPECT_EQ(errors.GetString(1), "");
    EXPECT_EQ(errors.GetString(7), "");
    EXPECT_EQ(errors.GetString(-2011), "");
    EXPECT_EQ(errors.GetString(15743), "");
    EXPECT_EQ(errors.GetString(INT32_MIN), "");
    EXPECT_EQ(errors.GetString(INT32_MAX), "");
}

TEST(StringTableLookup, SignedIdentifiersSortBelowZero) {
    ScopedResource table(
        kMainInstance, "KVT_SIGNED",
        Str0Blob({{-70000, u"minus"}, {-1, u"m1"}, {0, u"zero"}, {70000, u"big"}}));
    TKvStringResource reader(kMainInstance, "KVT_SIGNED");
    EXPECT_EQ(reader.GetString(-70000), "minus");
    EXPECT_EQ(reader.GetString(-1), "m1");
    EXPECT_EQ(reader.GetString(70000), "big");
    EXPECT_EQ(reader.GetString(1), "");
}

TEST(StringTableOpen, FailuresCarryTheReaderTextsWithTheName) {
    EXPECT_EQ(OpenFailure("KVT_MISSING"), "String resource not found: KVT_MISSING");

    ScopedResource wrongSignature(kMainInstance, "KVT_STR1", {'S', 'T', 'R', '1', 0, 0, 0, 0});
    EXPECT_EQ(OpenFailure("KVT_STR1"), "Invalid KSString resource");

    ScopedResource empty(kMainInstance, "KVT_EMPTY", {});
    EXPECT_EQ(OpenFailure("KVT_EMPTY"), "Cannot lock resource");
}

TEST(StringTableOpen, ChangeResourceClosesAndReopens) {
    ScopedResource a(kMainInstance, "KVT_A", Str0Blob({{1, u"from a"}}));
    ScopedResource b(kMainInstance, "KVT_B", Str0Blob({{1, u"from b"}}));
    TKvStringResource reader(kMainInstance, "kvt_a"); // names ignore case
    EXPECT_EQ(reader.GetString(1), "from a");
    reader.ChangeResource(kMainInstance, "KVT_B");
    EXPECT_EQ(reader.GetString(1), "from b");
    reader.ChangeResource(kMainInstance, "");
    EXPECT_EQ(reader.GetString(1), "");
    EXPECT_THROW(reader.ChangeResource(kMainInstance, "KVT_MISSING"), EZorStringResourceError);
    EXPECT_EQ(reader.GetString(1), "");
}

// A program's locale (a window's toolkit sets the user's) must not change which names match:
// under a Turkish locale the upper case of i is not I.
TEST(StringTableOpen, NamesIgnoreCaseWhateverTheLocale) {
    struct TLocale {
        const std::string previous = std::setlocale(LC_ALL, nullptr);
        ~TLocale() { std::setlocale(LC_ALL, previous.c_str()); }
    } restore;
    if (std::setlocale(LC_ALL, "tr_TR.UTF-8") == nullptr &&
        std::setlocale(LC_ALL, "tr_TR.ISO-8859-9") == nullptr) {
        GTEST_SKIP() << "no Turkish locale installed";
    }
    ScopedResource strings(kMainInstance, "KVT_STRINGS", Str0Blob({{1, u"found"}}));
    EXPECT_EQ(TKvStringResource(kMainInstance, "kvt_strings").GetString(1), "found");
}

TEST(StringTableOpen, LocalizedModuleIsSearchedFirst) {
    constexpr HModule kGerman = 4711;
    ScopedResource builtIn(kMainInstance, "KVT_LANG", Str0Blob({{1, u"File"}, {2, u"Edit"}}));
    ScopedResource german(kGerman, "KVT_LANG", Str0Blob({{1, u"Datei"}}));
    ScopedResource onlyBuiltIn(kMainInstance, "KVT_ONLY_MAIN", Str0Blob({{1, u"main"}}));
    SetLocalizedModule(kMainInstance, kGerman);
    EXPECT_EQ(TKvStringResource(kMainInstance, "KVT_LANG").GetString(1), "Datei");
    EXPECT_EQ(TKvStringResource(kMainInstance, "KVT_LANG").GetString(2), "");
    EXPECT_EQ(TKvStringResource(kMainInstance, "KVT_ONLY_MAIN").GetString(1), "main");
    SetLocalizedModule(kMainInstance, 0);
    EXPECT_EQ(TKvStringResource(kMainInstance, "KVT_LANG").GetString(1), "File");
}

TEST(StringTableOpen, ReaderKeepsItsTableWhenTheResourceIsReplaced) {
    auto first =
        std::make_unique<ScopedResource>(kMainInstance, "KVT_SWAP", Str0Blob({{1, u"old"}}));
    TKvStringResource reader(kMainInstance, "KVT_SWAP");
    first.reset();
    ScopedResource second(kMainInstance, "KVT_SWAP", Str0Blob({{1, u"new"}}));
    EXPECT_EQ(reader.GetString(1), "old");
}

// A corrupt table must never make a lookup read outside the blob.
TEST(StringTableOpen, CorruptBlobsAreRefusedOrYieldEmptyTexts) {
    std::vector<uint8_t> countTooLarge = Str0Blob({{1, u"one"}});
    countTooLarge[4] = 200;
    ScopedResource a(kMainInstance, "KVT_COUNT", countTooLarge);
    EXPECT_EQ(OpenFailure("KVT_COUNT"), "Invalid KSString resource");

    ScopedResource b(kMainInstance, "KVT_SHORT", {'S', 'T', 'R', '0', 0});
    EXPECT_EQ(OpenFailure("KVT_SHORT"), "Invalid KSString resource");

    std::vector<uint8_t> textOutside = Str0Blob({{1, u"one"}, {2, u"two"}});
    textOutside[8 + 4] = 0xF0;   // offset of record 0 far past the end
    textOutside[8 + 12 + 8] = 9; // record 1 one unit too long
    ScopedResource c(kMainInstance, "KVT_OUTSIDE", textOutside);
    TKvStringResource reader(kMainInstance, "KVT_OUTSIDE");
    EXPECT_EQ(reader.GetString(1), "");
    EXPECT_EQ(reader.GetString(2), "");

    std::vector<uint8_t> unsorted = Str0Blob({{1, u"a"}, {2, u"b"}, {3, u"c"}});
    std::swap(unsorted[8], unsorted[8 + 24]);
    ScopedResource d(kMainInstance, "KVT_UNSORTED", unsorted);
    TKvStringResource unsortedReader(kMainInstance, "KVT_UNSORTED");
    EXPECT_EQ(unsortedReader.GetString(2), "b");
}

TEST(StringTableCuts, AsciiZCutsToTheBufferAndNeverSplitsACharacter) {
    const std::u16string hundred(100, u'x');
    ScopedResource table(kMainInstance, "KVT_CUTS",
                         Str0Blob({{1, hundred}, {2, u"a\u00e9\u20ac\U0001F600"}}));
    TKvStringResource reader(kMainInstance, "KVT_CUTS");

    std::vector<char> buffer(120, '#');
    reader.GetAsciiZ(1, buffer.data(), 80);
    EXPECT_EQ(std::string(buffer.data()), std::string(79, 'x'));
    EXPECT_EQ(buffer[80], '#');

    EXPECT_STREQ(reader.GetAsciiZ(1, buffer.data(), 1), "");
    EXPECT_STREQ(reader.GetAsciiZ(99, buffer.data(), 80), "");

    // "a" 1 byte, e-acute 2, euro sign 3, emoji 4.
    EXPECT_STREQ(reader.GetAsciiZ(2, buffer.data(), 4), "a\u00e9");
    EXPECT_STREQ(reader.GetAsciiZ(2, buffer.data(), 6), "a\u00e9");
    EXPECT_STREQ(reader.GetAsciiZ(2, buffer.data(), 7), "a\u00e9\u20ac");
    EXPECT_STREQ(reader.GetAsciiZ(2, buffer.data(), 10), "a\u00e9\u20ac");
    EXPECT_STREQ(reader.GetAsciiZ(2, buffer.data(), 11), "a\u00e9\u20ac\U0001F600");
    EXPECT_EQ(reader.GetString(2), "a\u00e9\u20ac\U0001F600");

    buffer.assign(4, '#');
    EXPECT_EQ(reader.GetAsciiZ(1, buffer.data(), 0), buffer.data());
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(reader.GetAsciiZ(1, nullptr, 80), nullptr);
}

TEST(StringTableCuts, WideCharCutsToTheBufferAndKeepsSurrogatePairsWhole) {
    ScopedResource table(kMainInstance, "KVT_WIDE", Str0Blob({{1, u"ab\U0001F600c"}}));
    TKvStringResource reader(kMainInstance, "KVT_WIDE");
    char16_t buffer[8];

    EXPECT_EQ(std::u16string(KivoErrorStrings().GetWideChar(1003, buffer, 5)), u"Got ");
    EXPECT_EQ(std::u16string(reader.GetWideChar(1, buffer, 4)), u"ab");
    EXPECT_EQ(std::u16string(reader.GetWideChar(1, buffer, 5)), u"ab\U0001F600");
    EXPECT_EQ(std::u16string(reader.GetWideChar(1, buffer, 8)), u"ab\U0001F600c");
    EXPECT_EQ(std::u16string(reader.GetWideChar(1, buffer, 1)), u"");
    EXPECT_EQ(std::u16string(reader.GetWideChar(9, buffer, 8)), u"");
    EXPECT_EQ(reader.GetWideChar(1, buffer, 0), buffer);
}

TEST(StringTableLookup, OneReaderServesSeveralThreads) {
    const TKvStringResource& errors = KivoErrorStrings();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&errors, &mismatches, t] {
            for (int i = 0; i < 2000; ++i) {
                if (errors.GetString(2003) != "ie_Bytesize - invalid byte size") {
                    ++mismatches[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
} // namespace kivo
