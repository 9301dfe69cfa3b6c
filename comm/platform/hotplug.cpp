// Hot-plug notification over netlink uevents and inotify.
#include "comm/platform/hotplug.h"
#include "comm/platform/sync.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace kivo {

namespace {

// The kernel's device announcements; none where netlink is not available (some containers).
int OpenUeventSocket() {
    const int fd =
        socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own announcements
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenDirectoryWatch(const TPortScanRoots& roots) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const uint32_t changes = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    const std::string classDir = (std::filesystem::path(roots.Sys) / "class" / "tty").string();
    const bool watching = inotify_add_watch(fd, classDir.c_str(), changes) >= 0;
    const bool watchingDev = inotify_add_watch(fd, roots.Dev.c_str(), changes) >= 0;
    if (!watching && !watchingDev) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads every pending announcement; true when one of them concerns a tty, or when some were
// lost because the socket overflowed.
bool TakeUevents(int fd) {
    bool tty = false;
    char buffer[8192];
    ssize_t got = 0;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        const char key[] = "SUBSYSTEM=tty";
        tty = tty || memmem(buffer, static_cast<size_t>(got), key, sizeof key) != nullptr;
    }
    return tty || (got < 0 && errno == ENOBUFS);
}

void TakeAll(int fd) {
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

bool SamePort(const TPortInfo& a, const TPortInfo& b) {
    return a.Path == b.Path;
}

bool Contains(const std::vector<TPortInfo>& ports, const TPortInfo& port) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const TPortInfo& other) { return SamePort(other, port); });
}

int RemainingMs(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

} // namespace

TPortWatcher::TPortWatcher(const TPortScanRoots& roots)
    : roots_(roots), known_(ScanSerialDevices(roots)), netlinkFd_(OpenUeventSocket()),
      inotifyFd_(OpenDirectoryWatch(roots)), cancelFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TPortWatcher::~TPortWatcher() {
    for (const int fd : {netlinkFd_, inotifyFd_, cancelFd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::vector<TPortChange> TPortWatcher::Wait(int timeoutMs) {
    // Without its cancel descriptor (the system had none to give) nothing could end the wait.
    if (cancelFd_ < 0) {
        return {};
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd fds[3] = {{cancelFd_, POLLIN, 0}, {netlinkFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        const int ready = poll(fds, 3, timeoutMs < 0 ? -1 : RemainingMs(end));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || fds[0].revents != 0) {
            return {};
        }
        if (DrainSources(fds[1].revents != 0, fds[2].revents != 0)) {
            std::vector<TPortChange> changes = Rescan();
            if (!changes.empty()) {
                return changes;
            }
        }
    }
}

void TPortWatcher::Cancel() {
    SignalEvent(cancelFd_);
}

bool TPortWatcher::DrainSources(bool netlinkReady, bool inotifyReady) {
    const bool ttyAnnounced = netlinkReady && TakeUevents(netlinkFd_);
    if (inotifyReady) {
        TakeAll(inotifyFd_);
    }
    return ttyAnnounced || inotifyReady;
}

// A scan that could not look (out of descriptors, say) tells nothing of the ports: taken for a
// machine without them, it would report every port gone and then back again.
std::vector<TPortChange> TPortWatcher::Rescan() {
    std::error_code error;
    std::vector<TPortInfo> now = ScanSerialDevices(roots_, error);
    if (error) {
        return {};
    }
    std::vector<TPortChange> changes;
    for (const TPortInfo& port : known_) {
        if (!Contains(now, port)) {
            changes.push_back({false, port});
        }
    }
    for (const TPortInfo& port : now) {
        if (!Contains(known_, port)) {
            changes.push_back({true, port});
        }
    }
    known_ = std::move(now);
    return changes;
}

} // namespace kivo
