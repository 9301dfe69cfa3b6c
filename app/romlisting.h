// The image as hexadecimal text, 16 bytes a line: "0000: FF FF ... FF" up to the line for F6F0.
// Both the window and the command line list an image this way.
#pragma once

#include "app/hexfiletorom.h"

#include <functional>
#include <string>

namespace brinomar {

constexpr int ListingBytesPerLine = 16;
constexpr int ListingLineCount = TRomImage::ImageSize / ListingBytesPerLine;
// The listing reports its position this often, so that a window can move its progress bar and
// process pending messages while a long listing runs.
constexpr int ListingProgressStep = 160;

using TListingLineSink = std::function<void(const std::string& line)>;
using TListingProgress = std::function<void(int position)>;

// Hands every line of the listing to `appendLine`, in address order, and calls `progress` (when
// given) with each position that is a multiple of ListingProgressStep, after that position's byte
// has been added to the line being built.
void ListRomImage(const TRomImage& image, const TListingLineSink& appendLine,
                  const TListingProgress& progress = nullptr);

} // namespace brinomar
