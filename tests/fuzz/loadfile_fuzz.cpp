// Feeds arbitrary text to the HEX loader: nothing may be written outside the image buffer, and
// whatever the loader reports must hold together.
#include "app/hexfiletorom.h"
#include "comm/platform/framework.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void CheckDiagnostics(const brinomar::TRomImage& image) {
    int previousLine = 0;
    for (const brinomar::THexDiagnostic& diagnostic : image.Diagnostics()) {
        if (diagnostic.Line < previousLine || diagnostic.Line < 1 ||
            FormatDiagnostic(diagnostic).empty()) {
            std::abort();
        }
        previousLine = diagnostic.Line;
    }
    if (image.HasErrors() != (image.FirstError() != nullptr)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        kivo::SetMessageBoxHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)quiet;
    brinomar::TRomImage image;
    image.LoadFromText(std::string_view(reinterpret_cast<const char*>(data), size));
    CheckDiagnostics(image);
    return 0;
}
