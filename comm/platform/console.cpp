#include "comm/platform/console.h"

#include "comm/platform/framework.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace kivo {

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

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

} // namespace kivo
