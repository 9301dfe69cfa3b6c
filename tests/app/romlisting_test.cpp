#include "app/romlisting.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

namespace brinomar {
namespace {

const std::string kAllFF = " FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";

std::vector<std::string> Listing(const TRomImage& image) {
    std::vector<std::string> lines;
    ListRomImage(image, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

TEST(RomListing, EmptyImageListsEveryPositionOnce) {
    kivo::testing::TScratchDir dir;
    TRomImage image;
    image.LoadFile(dir.Write("empty.hex", ":00000001FF\n"));
    const std::vector<std::string> lines = Listing(image);
    ASSERT_EQ(lines.size(), 3952u);
    EXPECT_EQ(lines.front(), "0000:" + kAllFF);
    EXPECT_EQ(lines[0x20], "0200:" + kAllFF);
    EXPECT_EQ(lines.back(), "F6F0:" + kAllFF);
}

TEST(RomListing, ShowsStoredBytesInUpperCase) {
    TRomImage image;
    image.LoadFromText(":04123C00ABCDEF0A00\n:02F6FE00BEEF00\n:00000001FF\n");
    const std::vector<std::string> lines = Listing(image);
    EXPECT_EQ(lines[0x123], "1230: FF FF FF FF FF FF FF FF FF FF FF FF AB CD EF 0A");
    EXPECT_EQ(lines.back(), "F6F0: FF FF FF FF FF FF FF FF FF FF FF FF FF FF BE EF");
    // The buffer is listed whether or not a file has been named.
    EXPECT_EQ(image.GetByte(0x123C), TRomImage::NoFileLoaded);
}

TEST(RomListing, ReportsProgressEvery160BytesBeforeTheLineIsDone) {
    TRomImage image;
    int linesDone = 0;
    std::vector<int> positions;
    ListRomImage(
        image, [&](const std::string&) { ++linesDone; },
        [&](int position) {
            // The line that holds `position` is still being built.
            EXPECT_EQ(linesDone, position / 16);
            positions.push_back(position);
        });
    ASSERT_EQ(positions.size(), 396u);
    for (size_t k = 0; k < positions.size(); ++k) {
        ASSERT_EQ(positions[k], static_cast<int>(k) * 160);
    }
    EXPECT_EQ(linesDone, 3952);
}

} // namespace
} // namespace brinomar
