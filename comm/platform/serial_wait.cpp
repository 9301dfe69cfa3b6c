// Comm events: the blocking event wait of the dispatcher's event thread, the event mask that
// cancels it, the watcher of modem-line changes, and hang-up detection.
#include "comm/platform/framework.h"
#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"
#include "comm/platform/serial_device.h"
#include "comm/platform/sync.h"
#include "comm/platform/terminal.h"

#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <system_error>
#include <thread>

namespace kivo {

namespace serial_detail {

// Modem-line changes can only be waited for with TIOCMIWAIT, which blocks inside the kernel
// and cannot join a poll set. A thread of its own sits in it and turns every change into a
// signalled eventfd that the event wait polls. Closing the device does not end TIOCMIWAIT; a
// signal does, so the watcher is stopped by signalling its thread.
class ModemWatcher {
public:
    explicit ModemWatcher(int deviceFd);
    ~ModemWatcher();
    ModemWatcher(const ModemWatcher&) = delete;
    ModemWatcher& operator=(const ModemWatcher&) = delete;

    bool Running() const { return thread_.joinable(); }
    int EventFd() const { return eventFd_; }

private:
    void Run();

    const int deviceFd_;
    int eventFd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;
};

namespace {

int WatcherSignal() {
    return SIGRTMIN + 2;
}

void IgnoreWatcherSignal(int) {}

// The handler only interrupts the watcher's ioctl; without SA_RESTART the ioctl returns EINTR.
void InstallWatcherSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = IgnoreWatcherSignal;
        sigemptyset(&action.sa_mask);
        sigaction(WatcherSignal(), &action, nullptr);
    });
}

// Stop signals of SerialWakeOnStopSignals. The eventfd is signalled by the first stop signal
// and never drained: it ends the waits of every device asked for, then and later. It lives for
// the whole process, so the handler never writes to a descriptor that has been closed.
// The flag is read by the waiting threads: a lock-free atomic, which the handler may set as
// safely as a sig_atomic_t.
std::atomic<int> gStopFd{-1};
std::atomic<bool> gStopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) {
    const int savedErrno = errno;
    SetApplicationTerminating(true);
    gStopSignalled = true;
    const int fd = gStopFd.load();
    if (fd >= 0) {
        SignalEvent(fd);
    }
    errno = savedErrno;
}

int StopEventFd() {
    static std::once_flag once;
    std::call_once(once, [] { gStopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); });
    return gStopFd.load();
}

// Call under the device's lock.
bool StopSignalledFor(const Device& device) {
    return device.endsOnStopSignal && gStopSignalled;
}

class Deadline {
public:
    // A time-out longer than the clock can count on from now (about 146 years) is no limit.
    explicit Deadline(int64_t timeoutUs)
        : infinite_(timeoutUs < 0 || timeoutUs > kLongestTimeoutUs),
          end_(std::chrono::steady_clock::now() +
               std::chrono::microseconds(infinite_ ? 0 : timeoutUs)) {}

    // The time left for ppoll, or null for no limit.
    const timespec* Remaining() {
        if (infinite_) {
            return nullptr;
        }
        const auto left = std::max(end_ - std::chrono::steady_clock::now(),
                                   std::chrono::steady_clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        left_.tv_sec = static_cast<time_t>(ns / 1000000000);
        left_.tv_nsec = static_cast<long>(ns % 1000000000);
        return &left_;
    }

private:
    static constexpr int64_t kLongestTimeoutUs = INT64_MAX / 1000 / 2;
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
    timespec left_{};
};

// What one pass of the event wait does, decided under the device's lock.
struct WaitPlan {
    bool finished = false;
    uint32_t events = 0;
    bool watchInput = false;
    bool watchDevice = false;
    int modemFd = -1;
    int stopFd = -1;
};

WaitPlan PlanWait(Device& device) {
    WaitPlan plan;
    std::lock_guard guard(device.lock);
    if (device.cancelRequested || device.mask == 0 || StopSignalledFor(device)) {
        device.cancelRequested = false;
        plan.finished = true;
        return plan;
    }
    plan.stopFd = device.endsOnStopSignal ? gStopFd.load() : -1;
    if (device.hungUp) {
        if (!device.hangUpWaitReported) {
            device.hangUpWaitReported = true;
            plan.finished = true;
            plan.events = ev_Err;
        }
        return plan; // a hung-up device stays signalled for good: it leaves the poll set
    }
    plan.watchDevice = true;
    plan.watchInput =
        device.inputArmed && !device.readerTakesInput && (device.mask & ev_RxChar) != 0;
    if (device.modemWatcher && device.modemWatcher->Running()) {
        plan.modemFd = device.modemWatcher->EventFd();
    }
    return plan;
}

uint32_t EventsBetween(const LineCounters& then, const LineCounters& now) {
    uint32_t events = 0;
    events |= now.cts != then.cts ? ev_Cts : 0;
    events |= now.dsr != then.dsr ? ev_Dsr : 0;
    events |= now.dcd != then.dcd ? ev_Rlsd : 0;
    events |= now.rng != then.rng ? ev_Ring : 0;
    events |= now.brk != then.brk ? ev_Break : 0;
    const bool errors = now.frame != then.frame || now.overrun != then.overrun ||
                        now.parity != then.parity || now.bufOverrun != then.bufOverrun;
    events |= errors ? ev_Err : 0;
    return events;
}

// The events behind a wake-up of the device descriptor or the modem watcher.
uint32_t CollectEvents(Device& device, short deviceEvents) {
    std::lock_guard guard(device.lock);
    if (deviceEvents & (POLLHUP | POLLERR | POLLNVAL)) {
        device.hungUp = true; // reported by the next pass of the wait
        return 0;
    }
    uint32_t events = 0;
    if ((deviceEvents & POLLIN) && device.inputArmed) {
        // Input the reader took over while this wait watched it is not reported; disarmed,
        // the wait does not wake for it again.
        device.inputArmed = false;
        events |= device.readerTakesInput ? 0 : ev_RxChar;
    }
    LineCounters now;
    if (device.countersSupported && ReadLineCounters(device.fd, now)) {
        events |= EventsBetween(device.eventBase, now);
        device.eventBase = now;
    }
    return events & device.mask;
}

void BeginWait(Device& device) {
    std::lock_guard guard(device.lock);
    device.waitPending = true;
}

void EndWait(Device& device) {
    std::lock_guard guard(device.lock);
    device.waitPending = false;
    device.cancelRequested = false;
    if (device.wakeSignalled) { // a wake-up the wait did not take must not end the next one
        device.wakeSignalled = false;
        DrainEvent(device.wakeFd);
    }
}

// Wakes a pending wait so that it plans again; `cancel` makes it return.
void WakeWaiter(Device& device, bool cancel) {
    if (device.waitPending) {
        device.cancelRequested = device.cancelRequested || cancel;
        device.wakeSignalled = true;
        SignalEvent(device.wakeFd);
    }
}

} // namespace

ModemWatcher::ModemWatcher(int deviceFd) : deviceFd_(deviceFd) {
    eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd_ >= 0) {
        InstallWatcherSignal();
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // Not running: the open that wanted the watcher fails.
        }
    }
}

ModemWatcher::~ModemWatcher() {
    if (thread_.joinable()) {
        stop_ = true;
        // The signal can arrive just before the thread enters the ioctl and be lost; it is
        // sent again until the thread has finished.
        std::unique_lock guard(lock_);
        while (!done_) {
            pthread_kill(thread_.native_handle(), WatcherSignal());
            finished_.wait_for(guard, std::chrono::milliseconds(20));
        }
        guard.unlock();
        thread_.join();
    }
    if (eventFd_ >= 0) {
        close(eventFd_);
    }
}

void ModemWatcher::Run() {
    sigset_t stopSignal;
    sigemptyset(&stopSignal);
    sigaddset(&stopSignal, WatcherSignal());
    pthread_sigmask(SIG_UNBLOCK, &stopSignal, nullptr); // whatever the creating thread blocked
    const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    while (!stop_) {
        if (ioctl(deviceFd_, TIOCMIWAIT, lines) == 0) {
            SignalEvent(eventFd_);
        } else if (errno != EINTR) {
            break; // the driver cannot wait for line changes, or the device went away
        }
    }
    std::lock_guard guard(lock_);
    done_ = true;
    finished_.notify_all();
}

Device::Device() = default;
Device::~Device() = default;

bool ReadLineCounters(int fd, LineCounters& counters) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        return false;
    }
    counters =
        LineCounters{icount.cts,     icount.dsr,    icount.rng, icount.dcd,        icount.frame,
                     icount.overrun, icount.parity, icount.brk, icount.buf_overrun};
    return true;
}

void MarkHungUp(Device& device) {
    std::lock_guard guard(device.lock);
    device.hungUp = true;
}

void RearmInput(Device& device) {
    std::lock_guard guard(device.lock);
    if (!device.inputArmed) {
        device.inputArmed = true;
        if (!device.readerTakesInput) {
            WakeWaiter(device, false);
        }
    }
}

bool StartModemWatcher(Device& device) {
    if (!device.countersSupported) {
        return true;
    }
    auto watcher = std::make_unique<ModemWatcher>(device.fd);
    if (!watcher->Running()) {
        return false;
    }
    std::lock_guard guard(device.lock);
    device.modemWatcher = std::move(watcher);
    return true;
}

void ReleaseWaitResources(Device& device) {
    std::unique_ptr<ModemWatcher> watcher;
    {
        std::lock_guard guard(device.lock);
        watcher = std::move(device.modemWatcher);
    }
}

} // namespace serial_detail

using namespace serial_detail;

int SerialSetEventMask(int32_t handle, uint32_t mask) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    std::lock_guard guard(device->lock);
    device->mask = mask;
    device->inputArmed = true;
    WakeWaiter(*device, true);
    return 0;
}

int SerialWaitEvent(int32_t handle, uint32_t& events, int64_t timeoutUs) {
    events = 0;
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    BeginWait(*device);
    Deadline deadline(timeoutUs);
    int result = 0;
    for (;;) {
        const WaitPlan plan = PlanWait(*device);
        if (plan.finished) {
            events = plan.events;
            break;
        }
        // A stop signal is seen by the next plan.
        pollfd fds[5] = {{device->closeFd, POLLIN, 0},
                         {device->wakeFd, POLLIN, 0},
                         {plan.watchDevice ? device->fd : -1,
                          static_cast<short>(plan.watchInput ? POLLIN : 0), 0},
                         {plan.modemFd, POLLIN, 0},
                         {plan.stopFd, POLLIN, 0}};
        const int ready = ppoll(fds, 5, deadline.Remaining(), nullptr);
        if (ready == 0) {
            break; // time-out
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = Fail(PlatformErrorFromErrno(errno));
            break;
        }
        if (fds[0].revents != 0) {
            result = Fail(kSerialBadHandle);
            break;
        }
        if (fds[1].revents != 0) {
            DrainEvent(device->wakeFd);
            continue;
        }
        if (fds[3].revents != 0) {
            DrainEvent(plan.modemFd);
        }
        events = CollectEvents(*device, fds[2].revents);
        if (events != 0) {
            break;
        }
    }
    EndWait(*device);
    return result;
}

int SerialWaitInput(int32_t handle, int alsoFd, uint32_t timeoutMs) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    bool hungUp;
    {
        std::lock_guard guard(device->lock);
        hungUp = device->hungUp;
    }
    // A hung-up descriptor stays readable for good: polling it would spin.
    pollfd fds[4] = {{device->closeFd, POLLIN, 0},
                     {alsoFd, POLLIN, 0},
                     {hungUp ? -1 : device->fd, POLLIN, 0},
                     {ApplicationTerminatingFd(), POLLIN, 0}};
    const int timeout =
        timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX));
    const int ready = poll(fds, 4, timeout);
    if (ready < 0) {
        return errno == EINTR ? 0 : Fail(PlatformErrorFromErrno(errno));
    }
    if (fds[0].revents != 0) {
        return Fail(kSerialBadHandle);
    }
    if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        MarkHungUp(*device); // the event thread reports it
    }
    return (fds[2].revents & POLLIN) != 0 ? 1 : 0;
}

int SerialReaderTakesInput(int32_t handle, bool on) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    std::lock_guard guard(device->lock);
    if (device->readerTakesInput != on) {
        device->readerTakesInput = on;
        if (!on) {
            device->inputArmed = true;
            WakeWaiter(*device, false);
        }
    }
    return 0;
}

int SerialWakeOnStopSignals(int32_t handle) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    if (StopEventFd() < 0) {
        return Fail(kPlatformNotEnoughMemory);
    }
    {
        std::lock_guard guard(device->lock);
        device->endsOnStopSignal = true;
        WakeWaiter(*device, false); // a wait in progress takes the stop signal into its watch
    }
    CatchStopSignals(OnStopSignal);
    return 0;
}

} // namespace kivo
