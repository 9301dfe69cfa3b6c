// Inside the serial device access: the record of one open device, the handle registry and the
// helpers the serial_*.cpp files share. Not for use outside comm/platform.
#pragma once

#include "comm/platform/serial_dcb.h"
#include "comm/platform/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kivo::serial_detail {

// The driver's running counts of modem-line changes and line errors.
struct LineCounters {
    int cts = 0;
    int dsr = 0;
    int rng = 0;
    int dcd = 0;
    int frame = 0;
    int overrun = 0;
    int parity = 0;
    int brk = 0;
    int bufOverrun = 0;
};

class ModemWatcher;
struct FoundLine;

struct Device {
    Device();
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    int fd = -1;
    int companionFd = -1;   // a pseudo-terminal's slave held open by the master's owner
    int closeFd = -1;       // eventfd written once by close and never drained
    int wakeFd = -1;        // eventfd that ends or refreshes a pending event wait
    int writeCancelFd = -1; // eventfd that ends a blocked write
    int users = 0;          // calls in progress; guarded by the registry's lock
    uint32_t owner = CurrentProcessId(); // the process that opened it

    std::atomic<bool> closing{false};
    std::atomic<bool> packetMode{false}; // a pseudo-terminal's master told of its slave's flushes
    std::atomic<bool> writeCancelled{false};

    std::mutex lock; // guards everything below
    TDCB stored;
    uint32_t mask = 0;
    bool inputArmed = true;
    bool readerTakesInput = false; // SerialReaderTakesInput: event waits leave input alone
    bool waitPending = false;
    bool wakeSignalled = false;
    bool cancelRequested = false;
    bool hungUp = false;
    bool hangUpWaitReported = false;
    bool hangUpErrorReported = false;
    bool countersSupported = false;
    bool endsOnStopSignal = false; // SerialWakeOnStopSignals
    bool peerFlushed = false;      // the slave's user emptied its queues (packetMode)
    // The TIOCM_DTR/TIOCM_RTS lines set through SetModemLine, and which of them are known
    // to be in that state (the driver moves RTS itself under handshake).
    int linesKnown = 0;
    int linesOn = 0;
    LineCounters eventBase; // counts at the last event report
    LineCounters errorBase; // counts at the last SerialClearError
    std::unique_ptr<ModemWatcher> modemWatcher;
    // The terminal settings the open found, until the line is set: a port that was only looked
    // at (an availability test, an open that never set it) is left as it was found.
    std::shared_ptr<const FoundLine> foundLine;
};

// A registered device kept alive (and its descriptors open) while the reference lives.
class DeviceRef {
public:
    DeviceRef() = default;
    explicit DeviceRef(Device* device) : device_(device) {}
    ~DeviceRef();
    DeviceRef(DeviceRef&& other) noexcept : device_(other.device_) { other.device_ = nullptr; }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
    DeviceRef& operator=(DeviceRef&&) = delete;

    Device* operator->() const { return device_; }
    Device& operator*() const { return *device_; }
    explicit operator bool() const { return device_ != nullptr; }

private:
    Device* device_ = nullptr;
};

// Takes ownership of a device whose fd is open: creates its event descriptors and gives it a
// handle. Returns the handle, or -kPlatformNotEnoughMemory when the event descriptors cannot be
// made (the device is then closed).
int32_t RegisterDevice(std::unique_ptr<Device> device);

// The device of an open handle, or an empty reference (last error kSerialBadHandle).
DeviceRef AcquireDevice(int32_t handle);

// Sets this thread's last error and returns the negated code.
int Fail(int platformCode);

// Reads the driver's counters; false when the device keeps none.
bool ReadLineCounters(int fd, LineCounters& counters);

// Records a hang-up noticed by a read, write or wait.
void MarkHungUp(Device& device);

// Re-enables the input report of SerialWaitEvent after input was taken, waking a pending wait
// so that it watches the input again.
void RearmInput(Device& device);

// The modem-line watcher is started at open on devices that keep counters; close stops it.
// False when the system refuses its descriptor or its thread.
bool StartModemWatcher(Device& device);
void ReleaseWaitResources(Device& device);

// Line settings as the device holds them, made raw; used once at open.
int PrepareLine(Device& device);

// Puts back the settings the open found, unless the line was set since; used at close and when
// an open fails after its line was made raw.
void RestoreFoundLine(Device& device);

// Whether an ioctl failed because the device does not do what it asks (a pseudo-terminal has
// no modem lines and no break).
bool IsUnsupported(int err);

// Raises or drops DTR or RTS, unless it is known to be so already (on a USB adapter each change
// is a round trip over the bus). A device without modem lines reports success. Called under the
// device's lock; returns 0 or the negated platform code.
int SetModemLine(Device& device, int line, bool on);

} // namespace kivo::serial_detail
