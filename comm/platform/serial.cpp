// Serial device access: the handle registry, opening and closing, reading and writing, and the
// small line calls (queues, purge, errors, modem lines, break, low latency).
#include "comm/platform/serial.h"

#include "comm/platform/oserror.h"
#include "comm/platform/portmap.h"
#include "comm/platform/serial_device.h"
#include "comm/platform/sync.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace kivo {

namespace serial_detail {

namespace {

thread_local int tLastError = 0;

struct Registry {
    // Guards everything below; signalled when a device's last user left.
    TProcessLock& shared = NewProcessLock();
    std::unordered_map<int32_t, std::unique_ptr<Device>> devices;
    // Devices a forked child inherited and closed: kept, as their modem watchers cannot be ended
    std::vector<std::unique_ptr<Device>> inherited;
    int32_t nextHandle = 1;
};

// Never destroyed: threads that still hold a device at process exit must find it intact.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

int32_t NextFreeHandle(Registry& registry) {
    while (registry.devices.count(registry.nextHandle) != 0) {
        registry.nextHandle = registry.nextHandle == INT32_MAX ? 1 : registry.nextHandle + 1;
    }
    const int32_t handle = registry.nextHandle;
    registry.nextHandle = handle == INT32_MAX ? 1 : handle + 1;
    return handle;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

void CloseDescriptors(Device& device) {
    CloseIfOpen(device.fd);
    CloseIfOpen(device.companionFd);
    CloseIfOpen(device.closeFd);
    CloseIfOpen(device.wakeFd);
    CloseIfOpen(device.writeCancelFd);
}

// Lets go of a device this process opened: the settings the open found go back, and the
// exclusive mode and the lock are lifted before the descriptors close. Both belong to the
// terminal and the open file, which outlive the close while anyone else still holds them (a
// simulator holding the other end, a child forked meanwhile until it ends or runs another
// program), and would keep the device from being opened again until then.
void ReleaseDevice(Device& device) {
    RestoreFoundLine(device);
    ioctl(device.fd, TIOCNXCL);
    flock(device.fd, LOCK_UN);
    CloseDescriptors(device);
}

bool CreateEventDescriptors(Device& device) {
    device.closeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    device.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    device.writeCancelFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return device.closeFd >= 0 && device.wakeFd >= 0 && device.writeCancelFd >= 0;
}

} // namespace

DeviceRef::~DeviceRef() {
    if (device_ == nullptr) {
        return;
    }
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.shared.lock);
    if (--device_->users == 0 && device_->closing) {
        registry.shared.signal.notify_all();
    }
}

int Fail(int platformCode) {
    tLastError = platformCode;
    return -platformCode;
}

int32_t RegisterDevice(std::unique_ptr<Device> device) {
    if (!CreateEventDescriptors(*device)) {
        // The open device has been made exclusive and raw: a console would lose its echo and
        // line editing.
        ReleaseDevice(*device);
        return Fail(kPlatformNotEnoughMemory);
    }
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.shared.lock);
    const int32_t handle = NextFreeHandle(registry);
    registry.devices.emplace(handle, std::move(device));
    return handle;
}

DeviceRef AcquireDevice(int32_t handle) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.shared.lock);
    auto it = registry.devices.find(handle);
    if (it == registry.devices.end() || it->second->closing) {
        tLastError = kSerialBadHandle;
        return DeviceRef();
    }
    ++it->second->users;
    return DeviceRef(it->second.get());
}

// Takes the device out of the registry; the caller then owns it.
std::unique_ptr<Device> Unregister(int32_t handle) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.shared.lock);
    auto it = registry.devices.find(handle);
    if (it == registry.devices.end()) {
        return nullptr;
    }
    std::unique_ptr<Device> device = std::move(it->second);
    registry.devices.erase(it);
    device->closing = true;
    return device;
}

void KeepInherited(std::unique_ptr<Device> device) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.shared.lock);
    registry.inherited.push_back(std::move(device));
}

void WaitUntilUnused(Device& device) {
    Registry& registry = TheRegistry();
    std::unique_lock guard(registry.shared.lock);
    registry.shared.signal.wait(guard, [&] { return device.users == 0; });
}

} // namespace serial_detail

using namespace serial_detail;

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool IsComPrefix(const std::string& text, size_t at) {
    return text.size() >= at + 3 && (text[at] == 'C' || text[at] == 'c') &&
           (text[at + 1] == 'O' || text[at + 1] == 'o') &&
           (text[at + 2] == 'M' || text[at + 2] == 'm');
}

// "\\.\COMn" or "COMn" -> the port map's path; an absolute path stays as it is. Returns 0 or the
// platform code of the failure.
int ResolveDeviceName(const std::string& name, std::string& path) {
    if (name.empty() || name.find('\0') != std::string::npos) {
        return kPlatformPathNotFound;
    }
    if (name[0] == '/') {
        path = name;
        return 0;
    }
    const size_t at = StartsWith(name, "\\\\.\\") ? 4 : 0;
    if (!IsComPrefix(name, at)) {
        return kPlatformPathNotFound;
    }
    const std::string digits = name.substr(at + 3);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return kPlatformPathNotFound;
    }
    const int number = std::stoi(digits);
    if (number < 1 || number > kMaxComPort) {
        return kPlatformFileNotFound;
    }
    path = ComPortPath(number);
    return path.empty() ? kPlatformFileNotFound : 0;
}

// A permission problem keeps its own code: it must not read as "held elsewhere".
int OpenErrorCode(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
        return kPlatformFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EISDIR:
        return kPlatformPathNotFound;
    case EBUSY:
    case EWOULDBLOCK:
        return kPlatformAccessDenied;
    case EACCES:
    case EPERM:
    case EROFS:
        return kPlatformNoPermission;
    default:
        return PlatformErrorFromErrno(err);
    }
}

// flock keeps other opens out (root included); TIOCEXCL also keeps out programs that do not
// take the lock.
int LockExclusively(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return kPlatformAccessDenied;
    }
    ioctl(fd, TIOCEXCL);
    return 0;
}

int32_t OpenDevicePath(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(OpenErrorCode(errno));
    }
    const int lockCode = LockExclusively(fd);
    if (lockCode != 0) {
        close(fd);
        return Fail(lockCode);
    }
    auto device = std::make_unique<Device>();
    device->fd = fd;
    const int prepared = PrepareLine(*device);
    if (prepared < 0) {
        ReleaseDevice(*device);
        return prepared;
    }
    return RegisterDevice(std::move(device));
}

uint32_t QueueCount(int fd, unsigned long request) {
    int count = 0;
    return ioctl(fd, request, &count) == 0 && count > 0 ? static_cast<uint32_t>(count) : 0;
}

uint32_t ErrorBitsSince(const LineCounters& then, const LineCounters& now) {
    uint32_t errors = 0;
    if (now.bufOverrun != then.bufOverrun) {
        errors |= CE_RXOVER;
    }
    if (now.overrun != then.overrun) {
        errors |= CE_OVERRUN;
    }
    if (now.parity != then.parity) {
        errors |= CE_RXPARITY;
    }
    if (now.frame != then.frame) {
        errors |= CE_FRAME;
    }
    if (now.brk != then.brk) {
        errors |= CE_BREAK;
    }
    return errors;
}

uint32_t HoldFlags(const Device& device) {
    int lines = 0;
    if ((device.stored.Flags & dcb_OutxCtsFlow) == 0 || ioctl(device.fd, TIOCMGET, &lines) != 0) {
        return 0;
    }
    return (lines & TIOCM_CTS) ? 0 : comstat_CtsHold;
}

bool BadBuffer(const void* buffer, int32_t count) {
    return count < 0 || (count > 0 && buffer == nullptr);
}

enum class WriteWait { Ready, Cancelled, Failed };

// Waits until the device takes more output, the write is cancelled or the device closes.
WriteWait WaitWritable(Device& device) {
    pollfd fds[3] = {
        {device.fd, POLLOUT, 0}, {device.writeCancelFd, POLLIN, 0}, {device.closeFd, POLLIN, 0}};
    while (ppoll(fds, 3, nullptr, nullptr) < 0) {
        if (errno != EINTR) {
            return WriteWait::Failed;
        }
    }
    if (fds[1].revents != 0 || fds[2].revents != 0) {
        return WriteWait::Cancelled;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        MarkHungUp(device);
        return WriteWait::Failed;
    }
    return WriteWait::Ready;
}

} // namespace

int SerialLastError() noexcept {
    return tLastError;
}

void SetSerialLastError(int code) noexcept {
    tLastError = code;
}

int32_t SerialOpen(const std::string& name) {
    std::string path;
    const int code = ResolveDeviceName(name, path);
    if (code != 0) {
        return Fail(code);
    }
    const int32_t handle = OpenDevicePath(path);
    if (handle > 0) {
        bool watching = true;
        if (DeviceRef device = AcquireDevice(handle)) {
            watching = StartModemWatcher(*device);
        }
        // Without its watcher the device would never report a modem-line change.
        if (!watching) {
            SerialClose(handle);
            return Fail(kPlatformNotEnoughMemory);
        }
        tLastError = 0;
    }
    return handle;
}

int SerialClose(int32_t handle) {
    std::unique_ptr<Device> device = Unregister(handle);
    if (!device) {
        return Fail(kSerialBadHandle);
    }
    if (device->owner != CurrentProcessId()) {
        // Opened by the process this one was forked from: the line, its exclusive mode and the
        // close event are shared with that parent, whose threads still use them, and the
        // threads that used the device here did not come along. Only this process's copies of
        // the descriptors go.
        CloseDescriptors(*device);
        KeepInherited(std::move(device));
        return 0;
    }
    SignalEvent(device->closeFd);
    ReleaseWaitResources(*device);
    WaitUntilUnused(*device);
    ReleaseDevice(*device);
    return 0;
}

int SerialSetupQueues(int32_t handle, uint32_t, uint32_t) {
    DeviceRef device = AcquireDevice(handle);
    return device ? 0 : -kSerialBadHandle;
}

int SerialPurge(int32_t handle, uint32_t queues) {
    if (queues == 0 || (queues & ~(kPurgeInput | kPurgeOutput)) != 0) {
        return Fail(kSerialBadArgument);
    }
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    if (queues & kPurgeInput) {
        tcflush(device->fd, TCIFLUSH);
        RearmInput(*device);
    }
    if (queues & kPurgeOutput) {
        tcflush(device->fd, TCOFLUSH);
        device->writeCancelled = false;
        DrainEvent(device->writeCancelFd);
    }
    return 0;
}

int SerialClearError(int32_t handle, uint32_t& errors, TComStat& stat, bool countInput) {
    errors = 0;
    stat = TComStat{};
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    std::lock_guard guard(device->lock);
    LineCounters now;
    if (device->countersSupported && ReadLineCounters(device->fd, now)) {
        errors = ErrorBitsSince(device->errorBase, now);
        device->errorBase = now;
    }
    if (device->hungUp && !device->hangUpErrorReported) {
        device->hangUpErrorReported = true;
        errors |= CE_HANGUP;
    }
    stat.Flags = HoldFlags(*device);
    if (countInput) {
        stat.cbInQue = QueueCount(device->fd, FIONREAD);
    }
    return 0;
}

int SerialGetModemStatus(int32_t handle, uint32_t& status) {
    status = 0;
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    int lines = 0;
    if (ioctl(device->fd, TIOCMGET, &lines) != 0) {
        status = ms_CtsOn | ms_DsrOn;
        return 0;
    }
    status = ((lines & TIOCM_CTS) ? ms_CtsOn : 0) | ((lines & TIOCM_DSR) ? ms_DsrOn : 0) |
             ((lines & TIOCM_RNG) ? ms_RingOn : 0) | ((lines & TIOCM_CD) ? ms_RlsdOn : 0);
    return 0;
}

int SerialEscape(int32_t handle, int function) {
    if (function < escSetRts || function > escClrDtr) {
        return Fail(kSerialBadArgument);
    }
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    const int line = (function == escSetRts || function == escClrRts) ? TIOCM_RTS : TIOCM_DTR;
    std::lock_guard guard(device->lock);
    return SetModemLine(*device, line, function == escSetRts || function == escSetDtr);
}

int SerialSetBreak(int32_t handle, bool on) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    if (ioctl(device->fd, on ? TIOCSBRK : TIOCCBRK) != 0 && !IsUnsupported(errno)) {
        return Fail(PlatformErrorFromErrno(errno));
    }
    return 0;
}

int SerialSetLowLatency(int32_t handle, bool on) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    serial_struct info{};
    if (ioctl(device->fd, TIOCGSERIAL, &info) == 0) {
        info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
        ioctl(device->fd, TIOCSSERIAL, &info);
    }
    return 0;
}

namespace {

// A master in packet mode heads each read with a byte of its own: 0 before data, or alone the
// flushes and flow changes its slave's user made. Returns the data's length, or -1 with errno;
// `took` says whether anything at all was read.
ssize_t ReadPackets(Device& device, void* buffer, int32_t count, bool& took) {
    uint8_t packet[4097];
    const size_t want = std::min(static_cast<size_t>(count), sizeof packet - 1) + 1;
    for (;;) {
        const ssize_t got = read(device.fd, packet, want);
        if (got <= 0) {
            return got;
        }
        took = true;
        if (packet[0] == TIOCPKT_DATA) {
            std::memcpy(buffer, packet + 1, static_cast<size_t>(got - 1));
            return got - 1;
        }
        if ((packet[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0) {
            std::lock_guard guard(device.lock);
            device.peerFlushed = true;
        }
    }
}

} // namespace

int SerialRead(int32_t handle, void* buffer, int32_t count) {
    if (BadBuffer(buffer, count)) {
        return Fail(kSerialBadArgument);
    }
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    if (count == 0) {
        return 0;
    }
    bool took = false;
    const ssize_t got = device->packetMode ? ReadPackets(*device, buffer, count, took)
                                           : read(device->fd, buffer, static_cast<size_t>(count));
    if (got > 0 || took) {
        RearmInput(*device);
        return static_cast<int>(std::max<ssize_t>(got, 0));
    }
    if (got == 0 || errno == EAGAIN || errno == EINTR) {
        return 0;
    }
    if (errno == EIO) {
        MarkHungUp(*device);
        return 0;
    }
    return Fail(kPlatformReadFault);
}

namespace {

// The write of SerialWrite and SerialWriteNow; `wait` says whether a full driver buffer is
// waited out or ends the write.
int WriteDevice(int32_t handle, const void* data, int32_t count, bool wait,
                const std::function<void(int32_t)>& taken = {}) {
    if (BadBuffer(data, count)) {
        return Fail(kSerialBadArgument);
    }
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    int32_t sent = 0;
    while (sent < count && !device->writeCancelled && !device->closing) {
        const ssize_t put = write(device->fd, bytes + sent, static_cast<size_t>(count - sent));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put > 0) {
            sent += static_cast<int32_t>(put);
            if (taken) {
                taken(static_cast<int32_t>(put));
            }
            if (sent == count) {
                break;
            }
        }
        // A driver takes only part of a write when its buffer is full: the rest waits for
        // room at once rather than after a write that would be refused.
        WriteWait next = WriteWait::Failed;
        if (put > 0 || (put < 0 && errno == EAGAIN)) {
            if (!wait) {
                break;
            }
            next = WaitWritable(*device);
        } else if (put < 0 && errno == EIO) {
            MarkHungUp(*device);
        }
        if (next == WriteWait::Cancelled) {
            break;
        }
        if (next == WriteWait::Failed) {
            return sent > 0 ? sent : Fail(kPlatformWriteFault);
        }
    }
    return sent;
}

} // namespace

int SerialWrite(int32_t handle, const void* data, int32_t count) {
    return WriteDevice(handle, data, count, true);
}

int SerialWrite(int32_t handle, const void* data, int32_t count,
                const std::function<void(int32_t)>& taken) {
    return WriteDevice(handle, data, count, true, taken);
}

int SerialWriteNow(int32_t handle, const void* data, int32_t count) {
    return WriteDevice(handle, data, count, false);
}

int SerialCancelWrite(int32_t handle) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    device->writeCancelled = true;
    SignalEvent(device->writeCancelFd);
    return 0;
}

bool SerialHungUp(int32_t handle) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return false;
    }
    std::lock_guard guard(device->lock);
    return device->hungUp;
}

} // namespace kivo
