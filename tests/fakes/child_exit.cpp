#include "tests/fakes/child_exit.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivo::testing {

int WaitChildExit(pid_t pid, int timeoutMs) {
    // A pidfd becomes readable when the process ends, so the wait sleeps until then.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd fd{pidfd, POLLIN, 0};
    const bool ended = poll(&fd, 1, timeoutMs) == 1;
    close(pidfd);
    int status = 0;
    if (!ended || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kivo::testing
