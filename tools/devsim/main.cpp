// brinomar-devsim: the Brinomar device on a pseudo-terminal, for trying and testing the
// updater without hardware.
#include "comm/platform/console.h"
#include "comm/platform/oserror.h"
#include "comm/platform/pty.h"
#include "comm/platform/serial.h"
#include "comm/platform/terminal.h"
#include "tools/devsim/devsim_line.h"
#include "tools/devsim/devsim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kUsageError = 64;

} // namespace

int main(int argc, char** argv) {
    brinomar::TDevsimOptions options;
    std::string error;
    if (!brinomar::ParseDevsimOptions(std::vector<std::string>(argv + 1, argv + argc), options,
                                      error)) {
        std::fprintf(stderr, "brinomar-devsim: %s\nTry brinomar-devsim --help.\n",
                     kivo::PrintableText(error).c_str());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(brinomar::DevsimUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::puts("brinomar-devsim " BRINOMAR_VERSION);
        return 0;
    }
    if (!options.savePath.empty() && !brinomar::CanSaveTo(options.savePath, error)) {
        std::fprintf(stderr, "brinomar-devsim: cannot write %s: %s\n",
                     kivo::PrintableText(options.savePath).c_str(), error.c_str());
        return 1;
    }
    // Which of the two could not be made decides where the user must look: at the system's
    // pseudo-terminals (/dev/pts) or at the link's folder.
    kivo::TPtyPair pty;
    if (kivo::PtyOpen(pty) != 0) {
        std::fprintf(stderr, "brinomar-devsim: cannot open a pseudo-terminal: %s\n",
                     kivo::OsErrorText(kivo::SerialLastError()).c_str());
        return 1;
    }
    if (!options.linkPath.empty() && kivo::PtyLink(pty, options.linkPath) != 0) {
        const int code = kivo::SerialLastError();
        kivo::PtyClose(pty);
        std::fprintf(
            stderr, "brinomar-devsim: cannot make a link to the pseudo-terminal at %s: %s\n",
            kivo::PrintableText(options.linkPath).c_str(), kivo::OsErrorText(code).c_str());
        return 1;
    }
    kivo::SerialSetEventMask(pty.Master, kivo::ev_RxChar);
    kivo::SerialWakeOnStopSignals(pty.Master);
    kivo::PtyWatchPeerFlush(pty);
    // Whoever started the simulator has its device from the path on standard output or the
    // link; a reader that goes away, before the path (brinomar-devsim | head -0) or after it
    // (brinomar-devsim --stats | head -1), must not end the simulator unheard, nor take the
    // device away with it.
    kivo::IgnoreBrokenPipes();
    // Without a link the path printed is the only way to the device: a simulator that could not
    // tell it would wait for a host that can never find it.
    std::printf("%s\n", pty.SlavePath.c_str());
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && options.linkPath.empty()) {
        std::fprintf(stderr,
                     "brinomar-devsim: cannot write the device's path on standard output: %s\n",
                     std::strerror(errno));
        kivo::PtyClose(pty);
        return 1;
    }
    if (options.paceBaud != 0) {
        kivo::UsePreciseTimers();
    }
    brinomar::TLinePlayer player(options, pty);
    player.Run();
    if (options.verbose) {
        std::fprintf(stderr, "devsim: %d greetings, %zu image bytes in the last update\n",
                     player.Greetings(), player.ImageBytes());
    }
    kivo::PtyClose(pty);
    // A script that kept the image to compare it must not take a missing one for a success.
    return player.SaveFailed() ? 1 : 0;
}
