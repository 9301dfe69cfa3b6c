// HEX files written by common tools from random binaries must load byte for byte. What these
// tools add around the data (extended-address, segment and start-address records) is stored as
// data too, like every line but the last, so the expected images below include those bytes.
#include "app/hexfiletorom.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <random>

namespace brinomar {
namespace {

using kivo::testing::RunShell;
using kivo::testing::ShellQuote;
using kivo::testing::TScratchDir;

constexpr int kLoadAddress = 0x200;

std::string RandomBinary(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string binary(size, '\0');
    for (char& c : binary) {
        c = static_cast<char>(random());
    }
    return binary;
}

// The binary placed at kLoadAddress over an empty buffer; what would pass 0xFFFF lands at the
// bottom, where a 16-bit address with an ignored segment base puts it.
std::vector<uint8_t> PlacedImage(const std::string& binary) {
    std::vector<uint8_t> image(TRomImage::BufferSize, 0xFF);
    for (size_t i = 0; i < binary.size(); ++i) {
        image[(kLoadAddress + i) % TRomImage::BufferSize] = static_cast<uint8_t>(binary[i]);
    }
    return image;
}

// A start-address record of 0000:0200 stores its four data bytes at positions 0 to 3.
void PutStartAddressRecord(std::vector<uint8_t>& image) {
    image[0] = 0x00;
    image[1] = 0x00;
    image[2] = 0x02;
    image[3] = 0x00;
}

// A zero extended linear address stores its two data bytes at positions 0 and 1.
void PutZeroExtendedAddress(std::vector<uint8_t>& image) {
    image[0] = 0x00;
    image[1] = 0x00;
}

::testing::AssertionResult SameBuffer(const TRomImage& image,
                                      const std::vector<uint8_t>& expected) {
    const auto data = image.Data();
    for (size_t p = 0; p < expected.size(); ++p) {
        if (data[p] != expected[p]) {
            return ::testing::AssertionFailure()
                   << "first difference at position " << p << ": " << int(data[p]) << " instead of "
                   << int(expected[p]);
        }
    }
    return ::testing::AssertionSuccess();
}

class ToolFileTest : public ::testing::Test {
protected:
    // Converts `binary` with `command`, which reads "$in" and writes "$out", and loads the result.
    void Convert(const std::string& binary, const std::string& command) {
        const std::string in = dir.Write("firmware.bin", binary);
        const std::string out = dir.File("firmware.hex");
        ASSERT_EQ(RunShell("in=" + ShellQuote(in) + " out=" + ShellQuote(out) + "; " + command), 0)
            << command;
        image.LoadFile(out);
    }

    TScratchDir dir;
    TRomImage image;
};

constexpr const char* kObjcopy =
    "objcopy -I binary -O ihex --change-addresses 0x200 \"$in\" \"$out\"";

TEST_F(ToolFileTest, ObjcopyFilesLoadByteForByte) {
    for (const size_t size : {size_t{1}, size_t{300}, size_t{4099}, size_t{0xF500}}) {
        SCOPED_TRACE(size);
        const std::string binary = RandomBinary(size, static_cast<unsigned>(size));
        Convert(binary, kObjcopy);
        std::vector<uint8_t> expected = PlacedImage(binary);
        PutStartAddressRecord(expected);
        EXPECT_TRUE(SameBuffer(image, expected));
        EXPECT_FALSE(image.HasErrors());
    }
}

TEST_F(ToolFileTest, SrecCatFilesLoadByteForByte) {
    const std::string binary = RandomBinary(5000, 11);
    const std::string srecCat = "srec_cat \"$in\" -binary -offset 0x200 -o \"$out\" -intel";
    std::vector<uint8_t> expected = PlacedImage(binary);
    PutZeroExtendedAddress(expected);

    Convert(binary, srecCat);
    EXPECT_TRUE(SameBuffer(image, expected));
    Convert(binary, srecCat + " -crlf -output-block-size=16");
    EXPECT_TRUE(SameBuffer(image, expected));
    EXPECT_FALSE(image.HasErrors());

    Convert(binary, srecCat + " -execution-start-address=0x0200");
    PutStartAddressRecord(expected);
    EXPECT_TRUE(SameBuffer(image, expected));
    EXPECT_FALSE(image.HasErrors());
}

TEST_F(ToolFileTest, DataBeyond64KiBWrapsAndIsAnError) {
    const std::string binary = RandomBinary(0x10000, 3);
    Convert(binary, kObjcopy);
    std::vector<uint8_t> expected = PlacedImage(binary);
    PutStartAddressRecord(expected);
    EXPECT_TRUE(SameBuffer(image, expected));
    ASSERT_TRUE(image.HasErrors());
    EXPECT_EQ(image.FirstError()->Problem, THexProblem::hpExtendedAddress);
    // 16 bytes a line: the segment record follows the line for FFF0.
    EXPECT_EQ(image.FirstError()->Line, (0x10000 - kLoadAddress) / 16 + 1);
}

} // namespace
} // namespace brinomar
