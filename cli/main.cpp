// brinomar-flash: the updater without a window.
#include "cli/flashactions.h"
#include "cli/flashoptions.h"
#include "comm/platform/console.h"
#include "comm/platform/framework.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace brinomar;

// The message quotes what was given, and a shell can pass any bytes.
int UsageError(const std::string& error) {
    std::fprintf(stderr, "brinomar-flash: %s\nTry 'brinomar-flash --help' for more information.\n",
                 kivo::PrintableText(error).c_str());
    return ExitUsage;
}

void PrintException(const std::exception& e) {
    std::fprintf(stderr, "brinomar-flash: %s\n", kivo::PrintableText(e.what()).c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const TParsedArguments parsed = ParseFlashArguments(args);
    if (!parsed.Ok()) {
        return UsageError(parsed.Error);
    }
    kivo::SetExceptionDisplay(PrintException);
    switch (parsed.Options.Mode) {
    case TFlashMode::fmHelp:
        std::fputs(FlashUsage().c_str(), stdout);
        return FinishOutput();
    case TFlashMode::fmVersion:
        std::puts("brinomar-flash " BRINOMAR_VERSION);
        return FinishOutput();
    case TFlashMode::fmListing:
        return ListFile(parsed.Options.HexFile);
    case TFlashMode::fmListPorts:
        return ListPorts();
    case TFlashMode::fmUpdate:
        break;
    }
    return UpdateDevice(parsed.Options);
}
