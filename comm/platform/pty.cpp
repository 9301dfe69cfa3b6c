// Pseudo-terminal pairs and the timer precision of programs that pace traffic.
#include "comm/platform/pty.h"

#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"
#include "comm/platform/serial_device.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kivo {

using namespace serial_detail;

namespace {

bool MakeRawAndPrivate(int master, int slave) {
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(slave, TCSANOW, &settings) == 0 &&
           fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0 &&
           fcntl(master, F_SETFD, FD_CLOEXEC) == 0 && fcntl(slave, F_SETFD, FD_CLOEXEC) == 0;
}

std::string SlaveName(int master) {
    char name[128] = {};
    return ptsname_r(master, name, sizeof name) == 0 ? name : "";
}

std::string LinkTarget(const std::string& linkPath) {
    char target[4096];
    const ssize_t length = readlink(linkPath.c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// A link another pair left behind: to a pseudo-terminal that no longer exists (its program was
// killed), or to the very one just opened (the number came round again). A link to a live
// terminal or anywhere else belongs to someone else.
bool IsStalePairLink(const std::string& target, const std::string& slavePath) {
    struct stat device {};
    return target.rfind("/dev/pts/", 0) == 0 &&
           (target == slavePath || (stat(target.c_str(), &device) != 0 && errno == ENOENT));
}

int PlaceLink(const std::string& linkPath, const std::string& slavePath) {
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode) || !IsStalePairLink(LinkTarget(linkPath), slavePath)) {
            return PlatformErrorFromErrno(EEXIST);
        }
        // A stale link of another user's in a shared directory (/tmp) may not be removed: that,
        // not the link's existence, is what the user must be told.
        if (unlink(linkPath.c_str()) != 0 && errno != ENOENT) {
            return PlatformErrorFromErrno(errno);
        }
    }
    return symlink(slavePath.c_str(), linkPath.c_str()) == 0 ? 0 : PlatformErrorFromErrno(errno);
}

// Only while the link still leads to this pair: another program may have put its own there.
void RemoveLink(const std::string& linkPath, const std::string& slavePath) {
    if (!linkPath.empty() && LinkTarget(linkPath) == slavePath) {
        unlink(linkPath.c_str());
    }
}

} // namespace

int PtyOpen(TPtyPair& pair, const std::string& linkPath) {
    pair = TPtyPair{};
    // Cut at a NUL, the name would replace a link at another path.
    if (linkPath.find('\0') != std::string::npos) {
        return Fail(kPlatformPathNotFound);
    }
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return Fail(PlatformErrorFromErrno(errno));
    }
    const std::string slavePath = SlaveName(master);
    if (slavePath.empty() || !MakeRawAndPrivate(master, slave)) {
        const int code = PlatformErrorFromErrno(errno);
        close(master);
        close(slave);
        return Fail(code);
    }
    auto device = std::make_unique<Device>();
    device->fd = master;
    device->companionFd = slave;
    if (PrepareLine(*device) != 0) {
        close(master);
        close(slave);
        return -SerialLastError();
    }
    // The pair made its line itself, so there is nothing of anyone's to put back at its close,
    // and settings made through the master act on the slave, whose user may still hold it.
    device->foundLine.reset();
    const int32_t handle = RegisterDevice(std::move(device));
    if (handle < 0) {
        return handle;
    }
    if (!linkPath.empty()) {
        const int code = PlaceLink(linkPath, slavePath);
        if (code != 0) {
            SerialClose(handle);
            return Fail(code);
        }
    }
    pair.Master = handle;
    pair.SlavePath = slavePath;
    pair.LinkPath = linkPath;
    return 0;
}

int PtyLink(TPtyPair& pair, const std::string& linkPath) {
    if (pair.Master <= 0 || !pair.LinkPath.empty()) {
        return Fail(kSerialBadHandle);
    }
    if (linkPath.empty() || linkPath.find('\0') != std::string::npos) {
        return Fail(kPlatformPathNotFound);
    }
    const int code = PlaceLink(linkPath, pair.SlavePath);
    if (code != 0) {
        return Fail(code);
    }
    pair.LinkPath = linkPath;
    return 0;
}

void PtyClose(TPtyPair& pair) {
    if (pair.Master > 0) {
        SerialClose(pair.Master);
    }
    RemoveLink(pair.LinkPath, pair.SlavePath);
    pair = TPtyPair{};
}

int PtyWatchPeerFlush(const TPtyPair& pair) {
    DeviceRef device = AcquireDevice(pair.Master);
    if (!device) {
        return -kSerialBadHandle;
    }
    int on = 1;
    if (ioctl(device->fd, TIOCPKT, &on) != 0) {
        return Fail(PlatformErrorFromErrno(errno));
    }
    device->packetMode = true;
    return 0;
}

bool PtyTakePeerFlush(const TPtyPair& pair) {
    DeviceRef device = AcquireDevice(pair.Master);
    if (!device) {
        return false;
    }
    std::lock_guard guard(device->lock);
    return std::exchange(device->peerFlushed, false);
}

void UsePreciseTimers() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

} // namespace kivo
