// The actions of brinomar-flash that only report: the image listing and the port list.
#include "app/hexfiletorom.h"
#include "app/romlisting.h"
#include "cli/flashactions.h"
#include "comm/platform/console.h"
#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace brinomar {

int FinishOutput() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "brinomar-flash: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return ExitOutputFailed;
    }
    return ExitSuccess;
}

namespace {

std::string UsbIds(const kivo::TPortInfo& port) {
    if (!port.IsUsb) {
        return "-";
    }
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", port.VendorId, port.ProductId);
    return ids;
}

// The characters of well-formed UTF-8 text: every byte but a continuation byte starts one.
size_t CharacterCount(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

int ListFile(const std::string& fileName) {
    TRomImage image;
    try {
        image.LoadFile(fileName);
    } catch (const std::exception& e) {
        kivo::ShowException(e);
        return ExitFileUnusable;
    }
    for (const THexDiagnostic& diagnostic : image.Diagnostics()) {
        std::fprintf(stderr, "%s:%s\n", kivo::PrintableText(fileName).c_str(),
                     FormatDiagnostic(diagnostic).c_str());
    }
    ListRomImage(image, [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    });
    return FinishOutput();
}

void PrintPortScanFailure(const std::error_code& error) {
    const std::filesystem::path classDir =
        std::filesystem::path(kivo::PortScanRoots().Sys) / "class" / "tty";
    std::fprintf(stderr, "brinomar-flash: cannot look for serial ports in %s: %s\n",
                 kivo::PrintableText(classDir.string()).c_str(), error.message().c_str());
}

// A path or a USB adapter's product name may hold any bytes; only printable ones are listed.
// The path column is as wide as its longest path in characters, which in UTF-8 may take more
// than one byte each. Where the machine's ports could not be looked for (no sysfs in a chroot or
// container, or one this user may not read), the ports given in the environment are still
// listed, but the list is not taken for all there is.
int ListPorts() {
    std::error_code scanError;
    const std::vector<kivo::TPortInfo> ports = kivo::EnumerateComPorts(scanError);
    if (scanError) {
        PrintPortScanFailure(scanError);
    } else if (ports.empty()) {
        std::fputs("No serial ports found.\n", stderr);
        return ExitSuccess;
    }
    size_t nameWidth = 0;
    size_t pathWidth = 0;
    for (const kivo::TPortInfo& port : ports) {
        nameWidth = std::max(nameWidth, port.Name.size());
        pathWidth = std::max(pathWidth, CharacterCount(kivo::PrintableText(port.Path)));
    }
    for (const kivo::TPortInfo& port : ports) {
        const std::string path = kivo::PrintableText(port.Path);
        std::printf("%-*s  %s%*s  %-9s  %s\n", static_cast<int>(nameWidth), port.Name.c_str(),
                    path.c_str(), static_cast<int>(pathWidth - CharacterCount(path)), "",
                    UsbIds(port).c_str(), kivo::PrintableText(port.Description).c_str());
    }
    const int status = FinishOutput();
    return status == ExitSuccess && scanError ? ExitFileUnusable : status;
}

int PortNumberForPath(const std::string& path) {
    const std::vector<kivo::TPortInfo> ports = kivo::EnumerateComPorts();
    int free = 1;
    for (const kivo::TPortInfo& port : ports) {
        if (port.Path == path) {
            return port.ComNumber;
        }
        if (port.ComNumber == free) {
            ++free;
        }
    }
    return kivo::RegisterComPort(free, path) == 0 ? free : 0;
}

} // namespace brinomar
