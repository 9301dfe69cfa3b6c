#include "app/hexfiletorom.h"
#include "comm/platform/framework.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace brinomar {
namespace {

using kivo::testing::TScratchDir;
using Bytes = std::vector<int>;
using Problems = std::vector<THexProblem>;

const std::string kEof = ":00000001FF\n";

class RomImageTest : public ::testing::Test {
protected:
    // Loads `text` through a real file, as the window does.
    void Load(const std::string& text, const std::string& name = "image.hex") {
        image.LoadFile(dir.Write(name, text));
    }

    Bytes At(int first, int count) const {
        Bytes bytes;
        for (int p = first; p < first + count; ++p) {
            bytes.push_back(image.GetByte(p));
        }
        return bytes;
    }

    Problems Found() const {
        Problems problems;
        for (const THexDiagnostic& diagnostic : image.Diagnostics()) {
            problems.push_back(diagnostic.Problem);
        }
        return problems;
    }

    // The first error as "problem@line", or "none".
    std::string FirstError() const {
        const THexDiagnostic* error = image.FirstError();
        return error == nullptr
                   ? "none"
                   : std::to_string(int(error->Problem)) + "@" + std::to_string(error->Line);
    }

    static std::string Error(THexProblem problem, int line) {
        return std::to_string(int(problem)) + "@" + std::to_string(line);
    }

    TScratchDir dir;
    TRomImage image;
};

TEST(HexFieldToInt, ConvertsOnlyUpperCaseHexadecimal) {
    EXPECT_EQ(TRomImage::HexFieldToInt("1F"), 31);
    EXPECT_EQ(TRomImage::HexFieldToInt("00F0"), 240);
    EXPECT_EQ(TRomImage::HexFieldToInt("FFFF"), 0xFFFF);
    EXPECT_EQ(TRomImage::HexFieldToInt(""), 0);
    using namespace std::string_view_literals;
    for (const std::string_view bad : {"1f"sv, "0G"sv, ":1"sv, " 1"sv, "1\0"sv}) {
        EXPECT_EQ(TRomImage::HexFieldToInt(bad), -1) << bad;
    }
}

TEST(HexFieldToInt, FieldsTooLongForAnIntAreRejected) {
    EXPECT_EQ(TRomImage::HexFieldToInt("7FFFFFFF"), INT_MAX);
    EXPECT_EQ(TRomImage::HexFieldToInt("0000007FFFFFFF"), INT_MAX);
    EXPECT_EQ(TRomImage::HexFieldToInt("80000000"), -1);
    EXPECT_EQ(TRomImage::HexFieldToInt(std::string(300, 'F')), -1);
}

TEST_F(RomImageTest, NoFileUntilOneIsNamedAndNoPositionOutsideTheBuffer) {
    EXPECT_EQ(image.GetSize(), 0xF700);
    EXPECT_EQ(At(0, 1), Bytes{TRomImage::NoFileLoaded});
    EXPECT_EQ(At(0xF6FF, 1), Bytes{TRomImage::NoFileLoaded});
    EXPECT_EQ(image.Data()[0x200], 0xFF);
    Load("");
    EXPECT_EQ(At(0xF6FF, 1), Bytes{0xFF});
    EXPECT_EQ(At(0xFFFF, 1), Bytes{0xFF});
    for (const int bad : {-1, 0x10000, INT_MIN}) {
        EXPECT_EQ(image.GetByte(bad), TRomImage::BadPosition) << bad;
    }
}

TEST_F(RomImageTest, TheLastLineIsNeverRead) {
    Load(":02030000AABB96\n");
    EXPECT_EQ(At(0x300, 1), Bytes{0xFF});
    Load(":02030000AABB96\n" + kEof);
    EXPECT_EQ(At(0x300, 2), (Bytes{0xAA, 0xBB}));
    // Without a final line break the last record is still the last line.
    Load(":02040000CCDD51\n:02050000EEFF");
    EXPECT_EQ(At(0x400, 1), Bytes{0xCC});
    EXPECT_EQ(At(0x500, 1), Bytes{0xFF});
}

// A file that broke off, at a line end or inside a record, loses its last records silently.
TEST_F(RomImageTest, FileWithoutEndRecordIsAnError) {
    const std::string records = ":02030000AABB96\n:02040000CCDD51\n";
    const std::pair<std::string, int> cuts[] = {
        {records, 2}, {records + ":0205", 3}, {records.substr(0, 24), 2}, {"", 1}, {"\n", 1}};
    for (const auto& [cut, lastLine] : cuts) {
        Load(cut);
        EXPECT_EQ(FirstError(), Error(THexProblem::hpNoEndRecord, lastLine)) << cut;
    }
    // Blank lines after the end record leave it the last record.
    Load(records + kEof + "\n\r\n");
    EXPECT_EQ(FirstError(), "none");
    EXPECT_EQ(At(0x401, 1), Bytes{0xDD});
    // So does the end-of-file byte DOS tools add on a line of its own; it is no end record.
    Load(records + kEof + "\r\n\x1A");
    EXPECT_EQ(FirstError(), "none");
    Load(records + "\x1A\n");
    EXPECT_EQ(FirstError(), Error(THexProblem::hpNoEndRecord, 2));
}

TEST_F(RomImageTest, RecordChecksumIsIgnoredButReported) {
    Load(":0400100012345678XX\n" + kEof);
    EXPECT_EQ(At(0x10, 4), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Found(), (Problems{THexProblem::hpChecksum, THexProblem::hpOutsideImage}));
    EXPECT_EQ(FirstError(), "none");

    Load(":0402000012345678FF\n" + kEof);
    EXPECT_EQ(Found(), Problems{THexProblem::hpChecksum});
    Load(":0402000012345678E6\n" + kEof);
    EXPECT_EQ(Found(), Problems{});
}

TEST_F(RomImageTest, EveryRecordTypeIsStoredAsData) {
    Load(":020000040000FA\n:0400000500000200F5\n:0202000001AA51\n" + kEof);
    EXPECT_EQ(At(0, 4), (Bytes{0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(At(0x200, 2), (Bytes{0x01, 0xAA}));
    // A zero base moves nothing: the records only leave warnings about bytes not sent.
    EXPECT_EQ(FirstError(), "none");
}

TEST_F(RomImageTest, ExtendedAddressWithABaseIsAnError) {
    Load(":020000040001F9\n:02000000ABCD86\n" + kEof);
    EXPECT_EQ(At(0, 2), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(FirstError(), Error(THexProblem::hpExtendedAddress, 1));
    Load(":0202000012345E\n:020000021000EC\n" + kEof);
    EXPECT_EQ(FirstError(), Error(THexProblem::hpExtendedAddress, 2));
}

TEST_F(RomImageTest, ShortLinesStoreZerosForMissingData) {
    Load(":02000000AB\n" + kEof);
    EXPECT_EQ(At(0, 2), (Bytes{0xAB, 0x00}));
    EXPECT_EQ(FirstError(), Error(THexProblem::hpShortLine, 1));
    Load(":0403000012\n" + kEof);
    EXPECT_EQ(At(0x300, 5), (Bytes{0x12, 0x00, 0x00, 0x00, 0xFF}));
}

TEST_F(RomImageTest, LowerCaseDigitsDoNotLoad) {
    // Lower-case data stores FF; a lower-case address or count skips the whole line.
    Load(":02030000abCD00\n:020a000012340000\n:0203100012340000\n" + kEof);
    EXPECT_EQ(At(0x300, 2), (Bytes{0xFF, 0xCD}));
    EXPECT_EQ(At(0xA00, 1), Bytes{0xFF});
    EXPECT_EQ(At(0x310, 1), Bytes{0x12});
    EXPECT_EQ(FirstError(), Error(THexProblem::hpNotHexadecimal, 1));
    EXPECT_EQ(Found()[2], THexProblem::hpSkippedLine);
    EXPECT_EQ(image.Diagnostics()[2].Line, 2);
}

TEST_F(RomImageTest, DataNearTheTopOfTheBufferNeverWraps) {
    Load(":10FFFF00000102030405060708090A0B0C0D0E0F7A\n" + kEof);
    EXPECT_EQ(At(0xFFFF, 1), Bytes{0x00});
    EXPECT_EQ(At(0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(FirstError(), Error(THexProblem::hpBeyondBuffer, 1));
    EXPECT_NE(image.FirstError()->Text.find("15"), std::string::npos);
}

TEST_F(RomImageTest, BytesAboveTheImageAreStoredButNotCounted) {
    Load(":02F800001234C0\n" + kEof);
    EXPECT_EQ(image.GetSize(), 0xF700);
    EXPECT_EQ(At(0xF800, 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(Found(), Problems{THexProblem::hpOutsideImage});
}

TEST_F(RomImageTest, LaterFilesMergeOverEarlierOnes) {
    Load(":04030000111111110000\n" + kEof, "a.hex");
    Load(":02030200222200\n" + kEof, "b.hex");
    EXPECT_EQ(At(0x300, 4), (Bytes{0x11, 0x11, 0x22, 0x22}));
    EXPECT_EQ(image.FileName(), dir.File("b.hex"));
}

// A file with errors is never sent; its bytes stay visible for the listing but are not merged
// into the file loaded after it.
TEST_F(RomImageTest, ARefusedFileIsNotMergedIntoTheNext) {
    Load(":04030000111111110000\n" + kEof, "a.hex");
    Load(":02030200333300\n:02040000CCDD51\n:0205", "cut.hex");
    ASSERT_EQ(FirstError(), Error(THexProblem::hpNoEndRecord, 3));
    EXPECT_EQ(At(0x300, 4), (Bytes{0x11, 0x11, 0x33, 0x33}));
    EXPECT_EQ(At(0x400, 2), (Bytes{0xCC, 0xDD}));
    // Nor do they stay once a file that cannot be read has taken the diagnostics away.
    EXPECT_THROW(image.LoadFile(dir.File("missing.hex")), kivo::EInOutError);
    EXPECT_EQ(At(0x400, 2), (Bytes{0xFF, 0xFF}));
    Load(":02030200333300\n:02040000CCDD51\n:0205", "cut.hex");
    Load(":01030100220000\n" + kEof, "b.hex");
    EXPECT_EQ(At(0x300, 4), (Bytes{0x11, 0x22, 0x11, 0x11}));
    EXPECT_EQ(At(0x400, 2), (Bytes{0xFF, 0xFF}));
}

TEST_F(RomImageTest, DiagnosticsDescribeOnlyTheLastLoad) {
    Load(":0G000000\n" + kEof);
    EXPECT_EQ(FirstError(), Error(THexProblem::hpSkippedLine, 1));
    Load(":020200001234B6\n" + kEof);
    EXPECT_EQ(Found(), Problems{});
    EXPECT_EQ(FirstError(), "none");
}

TEST_F(RomImageTest, AllLineEndsSplitTheSameWay) {
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        TRomImage fresh;
        fresh.LoadFile(dir.Write("ends.hex", ":02030000AABB96" + end + end + ":02040000CCDD51" +
                                                 end + ":00000001FF" + end));
        EXPECT_EQ(fresh.GetByte(0x300), 0xAA) << "line end " << end.size();
        EXPECT_EQ(fresh.GetByte(0x401), 0xDD) << "line end " << end.size();
        EXPECT_TRUE(fresh.Diagnostics().empty()) << "line end " << end.size();
    }
    // LF CR is two breaks: the empty line between them shifts the line numbers.
    Load(":0G\n\r:0G\n\r:00000001FF\n");
    ASSERT_EQ(image.Diagnostics().size(), 2u);
    EXPECT_EQ(image.Diagnostics()[1].Line, 3);
}

TEST_F(RomImageTest, UnreadableFileRaisesAndLeavesTheImage) {
    Load(":0103000042BA\n" + kEof);
    const std::string missing = dir.File("missing.hex");
    try {
        image.LoadFile(missing);
        FAIL() << "no exception";
    } catch (const kivo::EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
    EXPECT_EQ(image.FileName(), missing);
    EXPECT_EQ(At(0x300, 1), Bytes{0x42});

    try {
        image.LoadFile(dir.Path().string());
        FAIL() << "a directory loaded";
    } catch (const kivo::EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("directory"), std::string::npos) << e.what();
    }
    EXPECT_EQ(At(0x300, 1), Bytes{0x42});

    // Reading stops at the limit, so that /dev/zero or a file of any size cannot fill memory.
    image.LoadFile(dir.Write("limit.hex", std::string(TRomImage::MaxFileSize, '0')));
    try {
        image.LoadFile(dir.Write("huge.hex", std::string(TRomImage::MaxFileSize + 1, '0')));
        FAIL() << "a file over the limit loaded";
    } catch (const kivo::EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
    }
    EXPECT_EQ(At(0x300, 1), Bytes{0x42});
}

TEST_F(RomImageTest, GarbageLoadsWithoutHarm) {
    std::mt19937 random(7);
    std::string garbage(2 * 1024 * 1024, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random());
    }
    Load(garbage);
    EXPECT_TRUE(image.HasErrors());

    // Many short lines of hexadecimal-looking noise, each at a random address.
    const char digits[] = "0123456789ABCDEF:\n";
    for (char& c : garbage) {
        c = digits[random() % 18];
    }
    Load(garbage);
    EXPECT_TRUE(image.HasErrors());
}

} // namespace
} // namespace brinomar
