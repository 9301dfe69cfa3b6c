#include "app/romlisting.h"

namespace brinomar {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& line, unsigned value, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        line += kHexDigits[(value >> shift) & 0xFu];
    }
}

} // namespace

void ListRomImage(const TRomImage& image, const TListingLineSink& appendLine,
                  const TListingProgress& progress) {
    const auto data = image.Data();
    std::string line;
    for (int i = 0; i < image.GetSize(); ++i) {
        if (i % ListingBytesPerLine == 0) {
            if (i != 0) {
                appendLine(line);
            }
            line.clear();
            AppendHex(line, static_cast<unsigned>(i), 4);
            line += ':';
        }
        line += ' ';
        AppendHex(line, data[static_cast<size_t>(i)], 2);
        if (i % ListingProgressStep == 0 && progress) {
            progress(i);
        }
    }
    appendLine(line);
}

} // namespace brinomar
