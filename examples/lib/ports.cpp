// kivo-ports: lists the serial ports of this machine with their USB details; with --watch it
// then reports ports that appear and disappear (plug an adapter in or out) until Ctrl-C.
//
//     kivo-ports [--watch]
//
// A device placed at a port number through the environment is listed too:
//     build/bin/brinomar-devsim &                    # prints its device, say /dev/pts/4
//     KIVO_COM5=/dev/pts/4 build/bin/kivo-ports
#include <kivo/comm/platform/console.h>
#include <kivo/comm/platform/hotplug.h>
#include <kivo/comm/platform/portmap.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

namespace {

// A USB adapter's strings may hold any bytes, escape sequences too: only printable text is
// shown.
std::string Shown(const std::string& text) {
    return kivo::PrintableText(text);
}

void PrintPort(const char* mark, const kivo::TPortInfo& port) {
    std::printf("%s%-6s %-16s ", mark, port.Name.c_str(), Shown(port.Path).c_str());
    if (port.IsUsb) {
        std::printf("%04x:%04x  ", port.VendorId, port.ProductId);
    } else {
        std::printf("%-9s  ", "-");
    }
    std::printf("%s", Shown(port.Description).c_str());
    if (!port.Interface.empty()) {
        std::printf(", %s", Shown(port.Interface).c_str());
    }
    if (!port.SerialNumber.empty()) {
        std::printf(", serial %s", Shown(port.SerialNumber).c_str());
    }
    if (!port.Location.empty()) {
        std::printf(", at USB %s", Shown(port.Location).c_str());
    }
    if (!port.ById.empty()) {
        std::printf("\n%s       %s", mark, Shown(port.ById).c_str());
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    constexpr const char* kUsage = "usage: kivo-ports [--watch]\n";
    const std::string option = argc == 2 ? argv[1] : "";
    if (option == "-h" || option == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool watch = option == "--watch";
    if (argc > 2 || (argc == 2 && !watch)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Without sysfs (a chroot or container) the machine's ports cannot be looked for, which is
    // no machine without ports: the ports given in the environment are listed all the same.
    std::error_code error;
    const std::vector<kivo::TPortInfo> ports = kivo::EnumerateComPorts(error);
    if (error) {
        std::fprintf(stderr, "kivo-ports: cannot look for serial ports: %s\n",
                     error.message().c_str());
    } else if (ports.empty()) {
        std::puts("no serial ports");
    }
    for (const kivo::TPortInfo& port : ports) {
        PrintPort("", port);
    }
    if (!watch) {
        return error ? 1 : 0;
    }
    std::fflush(stdout);
    kivo::TPortWatcher watcher;
    for (;;) {
        // Blocks until the kernel reports a change; each change comes with the port's details.
        // A wait without a time-out that nothing cancels ends with none only when the watcher
        // could not get the descriptor it waits on: waiting again would return at once, for ever.
        const std::vector<kivo::TPortChange> changes = watcher.Wait();
        if (changes.empty()) {
            std::fputs("kivo-ports: cannot watch for ports: no descriptor to wait on\n", stderr);
            return 1;
        }
        for (const kivo::TPortChange& change : changes) {
            PrintPort(change.Added ? "+ " : "- ", change.Port);
        }
        std::fflush(stdout);
    }
}
