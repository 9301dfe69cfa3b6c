#include "comm/platform/terminal.h"

#include "comm/platform/framework.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo {

namespace {

void OnStopSignal(int) {
    const int savedErrno = errno;
    SetApplicationTerminating(true);
    errno = savedErrno;
}

} // namespace

// Taken in order, each closed number is the lowest free one when /dev/null is opened. It is
// opened the wrong way round (standard input for writing, the outputs for reading), so that
// using the stream still fails as it did while closed: a listing written to a closed standard
// output is still reported as not written.
void KeepStandardStreamsOpen() {
    const int savedErrno = errno;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 &&
            open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd) {
            break;
        }
    }
    errno = savedErrno;
}

bool StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

int TerminalColumns(int fd) {
    winsize size{};
    return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Without SA_RESTART a blocking read returns EINTR, so a prompt does not hold the program.
void CatchStopSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction hangUp {};
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &action, nullptr);
    }
}

void TerminateOnStopSignals() {
    CatchStopSignals(OnStopSignal);
}

void IgnoreBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace kivo
