#include "comm/platform/console.h"

#include "comm/platform/framework.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace kivo {

namespace {

// Blocks until standard input has something to read or has ended: true then, false when the
// application is terminating first.
bool AwaitStandardInput() {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {ApplicationTerminatingFd(), POLLIN, 0}};
    while (!ApplicationTerminating()) {
        const int ready = poll(fds, 2, -1);
        // A failure other than the signal's is left for the read to report.
        if ((ready > 0 && fds[0].revents != 0) || (ready < 0 && errno != EINTR)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

bool ReadStandardInputLine(std::string& line) {
    line.clear();
    for (;;) {
        if (!AwaitStandardInput()) {
            return false;
        }
        char c;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue; // the next wait sees a stop signal
        }
        if (got <= 0) {
            return !line.empty();
        }
        if (c == '\n') {
            return true;
        }
        line += c;
    }
}

} // namespace kivo
