#include "tests/fakes/child_exit.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivo::testing {

namespace {

// Where the system has no pidfd (before Linux 5.3, or under a tool that does not know the
// call), a thread of its own sleeps in waitid until the child ends, leaving it to be reaped. A
// thread still waiting at the time-out stays with the shared state until the child ends.
bool WaitWithoutPidfd(pid_t pid, int timeoutMs) {
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        bool ended = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, pid] {
        siginfo_t info{};
        const bool ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
        std::lock_guard guard(shared->lock);
        shared->ended = ended;
        shared->changed.notify_all();
    }).detach();
    std::unique_lock guard(shared->lock);
    return shared->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return shared->ended; });
}

} // namespace

int WaitChildExit(pid_t pid, int timeoutMs) {
    // A pidfd becomes readable when the process ends, so the wait sleeps until then.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = false;
    if (pidfd >= 0) {
        pollfd fd{pidfd, POLLIN, 0};
        ended = poll(&fd, 1, timeoutMs) == 1;
        close(pidfd);
    } else {
        ended = WaitWithoutPidfd(pid, timeoutMs);
    }
    int status = 0;
    if (!ended || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kivo::testing
