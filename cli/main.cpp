// brinomar-flash: the updater without a window.
#include "app/hexfiletorom.h"
#include "app/romlisting.h"
#include "cli/flashoptions.h"
#include "comm/platform/framework.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brinomar;

void PrintDiagnostics(const TRomImage& image) {
    for (const THexDiagnostic& diagnostic : image.Diagnostics()) {
        std::fprintf(stderr, "%s:%s\n", image.FileName().c_str(),
                     FormatDiagnostic(diagnostic).c_str());
    }
}

int ListFile(const std::string& fileName) {
    TRomImage image;
    try {
        image.LoadFile(fileName);
    } catch (const std::exception& e) {
        kivo::ShowException(e);
        return ExitFileUnusable;
    }
    PrintDiagnostics(image);
    ListRomImage(image, [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    });
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "brinomar-flash: cannot write the listing: %s\n",
                     std::strerror(errno));
        return ExitOutputFailed;
    }
    return ExitSuccess;
}

int UsageError(const std::string& error) {
    std::fprintf(stderr, "brinomar-flash: %s\nTry 'brinomar-flash --help' for more information.\n",
                 error.c_str());
    return ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const TParsedArguments parsed = ParseFlashArguments(args);
    if (!parsed.Ok()) {
        return UsageError(parsed.Error);
    }
    if (parsed.Options.Mode == TFlashMode::fmHelp) {
        std::fputs(FlashUsage().c_str(), stdout);
        return ExitSuccess;
    }
    return ListFile(parsed.Options.HexFile);
}
