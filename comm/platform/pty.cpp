// Pseudo-terminal pairs and the timer precision of programs that pace traffic.
#include "comm/platform/pty.h"

#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"
#include "comm/platform/serial_device.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

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

// Replaces a symbolic link, never a file or directory someone else put there.
int PlaceLink(const std::string& linkPath, const std::string& target) {
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            return PlatformErrorFromErrno(EEXIST);
        }
        unlink(linkPath.c_str());
    }
    return symlink(target.c_str(), linkPath.c_str()) == 0 ? 0 : PlatformErrorFromErrno(errno);
}

void RemoveLink(const std::string& linkPath) {
    struct stat existing {};
    if (!linkPath.empty() && lstat(linkPath.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
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

void PtyClose(TPtyPair& pair) {
    if (pair.Master > 0) {
        SerialClose(pair.Master);
    }
    RemoveLink(pair.LinkPath);
    pair = TPtyPair{};
}

void UsePreciseTimers() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

} // namespace kivo
