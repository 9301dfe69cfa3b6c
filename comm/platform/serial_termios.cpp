// Line settings: the device control block mapped both ways to the kernel's termios2, and the
// calls that read and write it on a device.
#include "comm/platform/serial_termios.h"

#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"
#include "comm/platform/serial_device.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace kivo {

namespace serial_detail {

namespace {

struct SpeedCode {
    uint32_t rate;
    unsigned int code;
};

constexpr SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Standard rates go by their speed code, any other rate as BOTHER with the number itself.
void SetSpeed(termios2& settings, uint32_t rate) {
    unsigned int code = BOTHER;
    for (const SpeedCode& entry : kSpeedCodes) {
        if (entry.rate == rate) {
            code = entry.code;
        }
    }
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT)); // input speed follows the output speed
    settings.c_cflag |= code;
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
}

unsigned int SizeBits(uint8_t byteSize) {
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

uint8_t ByteSizeOf(const termios2& settings) {
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

unsigned int ParityBits(uint8_t parity) {
    switch (parity) {
    case dcbParityOdd:
        return PARENB | PARODD;
    case dcbParityEven:
        return PARENB;
    case dcbParityMark:
        return PARENB | CMSPAR | PARODD;
    case dcbParitySpace:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

uint8_t ParityOf(const termios2& settings) {
    const unsigned int bits = settings.c_cflag & (PARENB | PARODD | CMSPAR);
    for (uint8_t parity = dcbParityOdd; parity <= dcbParitySpace; ++parity) {
        if (bits == ParityBits(parity)) {
            return parity;
        }
    }
    return dcbParityNone;
}

bool WantsHardwareFlow(const TDCB& dcb) {
    return (dcb.Flags & dcb_OutxCtsFlow) != 0 ||
           (dcb.Flags & dcb_RtsControlMask) == dcb_RtsControlHandshake;
}

void SetFlag(uint32_t& flags, uint32_t flag, bool on) {
    flags = on ? (flags | flag) : (flags & ~flag);
}

// Hardware flow switched on or off outside SerialSetState: the block follows the device.
void TakeHardwareFlow(TDCB& dcb, bool on) {
    SetFlag(dcb.Flags, dcb_OutxCtsFlow, on);
    const uint32_t rts = dcb.Flags & dcb_RtsControlMask;
    if (on) {
        dcb.Flags = (dcb.Flags & ~dcb_RtsControlMask) | dcb_RtsControlHandshake;
    } else if (rts == dcb_RtsControlHandshake) {
        dcb.Flags = (dcb.Flags & ~dcb_RtsControlMask) | dcb_RtsControlEnable;
    }
}

TDCB DefaultDcb() {
    TDCB dcb;
    dcb.Flags = dcb_Binary | dcb_DtrControlEnable | dcb_RtsControlEnable;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    return dcb;
}

int GetSettings(int fd, termios2& settings) {
    return ioctl(fd, TCGETS2, &settings) == 0 ? 0 : Fail(PlatformErrorFromErrno(errno));
}

// DTR and RTS follow their control modes as they do when a port is configured; handshake and
// toggle leave RTS to the driver, DTR handshake keeps DTR up.
void ApplyControlLines(Device& device, const TDCB& dcb) {
    SetModemLine(device, TIOCM_DTR, (dcb.Flags & dcb_DtrControlMask) != 0);
    const uint32_t rtsMode = dcb.Flags & dcb_RtsControlMask;
    if (rtsMode == 0 || rtsMode == dcb_RtsControlEnable) {
        SetModemLine(device, TIOCM_RTS, rtsMode != 0);
    } else {
        device.linesKnown &= ~TIOCM_RTS;
    }
}

// A UART's divisor cannot make every rate. Asked for one it cannot make, a driver keeps the
// nearest it can, or the old rate when the new one lies beyond its clock, and still reports
// success; only the settings read back tell. A line left far from the rate asked for would garble
// every byte, so it is put back as it was and the block refused.
bool DriverTookRate(Device& device, uint32_t asked, const termios2& previous) {
    termios2 taken{};
    if (ioctl(device.fd, TCGETS2, &taken) != 0 || RateWithinReach(asked, SpeedOf(taken))) {
        return true;
    }
    ioctl(device.fd, TCSETS2, &previous);
    return false;
}

} // namespace

bool IsUnsupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

int SetModemLine(Device& device, int line, bool on) {
    if ((device.linesKnown & line) != 0 && ((device.linesOn & line) != 0) == on) {
        return 0;
    }
    int bits = line;
    if (ioctl(device.fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !IsUnsupported(errno)) {
        device.linesKnown &= ~line;
        return Fail(PlatformErrorFromErrno(errno));
    }
    device.linesKnown |= line;
    device.linesOn = on ? device.linesOn | line : device.linesOn & ~line;
    return 0;
}

uint32_t SpeedOf(const termios2& settings) {
    const unsigned int code = settings.c_cflag & CBAUD;
    if (code != BOTHER) {
        for (const SpeedCode& entry : kSpeedCodes) {
            if (entry.code == code) {
                return entry.rate;
            }
        }
    }
    return settings.c_ospeed;
}

bool RateWithinReach(uint32_t asked, uint32_t taken) {
    const uint64_t difference = asked > taken ? asked - taken : taken - asked;
    return difference * 100 <= uint64_t{asked} * 3;
}

int CheckDcb(const TDCB& dcb) {
    const bool softwareFlow = (dcb.Flags & (dcb_OutX | dcb_InX)) != 0;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > dcbParitySpace ||
        dcb.StopBits > dcbStopBitsTwo || (softwareFlow && dcb.XonChar == dcb.XoffChar)) {
        return kSerialBadArgument;
    }
    return 0;
}

void MakeRaw(termios2& settings) {
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                          IXANY | IGNPAR | INPCK | IUCLC | IMAXBEL);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE);
    settings.c_cflag |= CREAD | CLOCAL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

void ApplyDcb(const TDCB& dcb, termios2& settings) {
    MakeRaw(settings);
    SetSpeed(settings, dcb.BaudRate);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= SizeBits(dcb.ByteSize) | ParityBits(dcb.Parity);
    if (dcb.StopBits != dcbStopBitsOne) { // one and a half is sent as two
        settings.c_cflag |= CSTOPB;
    }
    if (WantsHardwareFlow(dcb)) {
        settings.c_cflag |= CRTSCTS;
    }
    if (dcb.Flags & dcb_Parity) {
        settings.c_iflag |= INPCK;
    }
    if (dcb.Flags & dcb_OutX) {
        settings.c_iflag |= IXON;
    }
    if (dcb.Flags & dcb_InX) {
        settings.c_iflag |= IXOFF;
    }
    settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

TDCB DcbFromTermios(const termios2& settings, const TDCB& stored) {
    termios2 expected = settings;
    ApplyDcb(stored, expected);
    TDCB dcb = stored;
    if (SpeedOf(settings) != SpeedOf(expected)) {
        dcb.BaudRate = SpeedOf(settings);
    }
    if ((settings.c_cflag & CSIZE) != (expected.c_cflag & CSIZE)) {
        dcb.ByteSize = ByteSizeOf(settings);
    }
    if (ParityOf(settings) != ParityOf(expected)) {
        dcb.Parity = ParityOf(settings);
    }
    if ((settings.c_cflag & CSTOPB) != (expected.c_cflag & CSTOPB)) {
        dcb.StopBits = (settings.c_cflag & CSTOPB) ? dcbStopBitsTwo : dcbStopBitsOne;
    }
    if ((settings.c_cflag & CRTSCTS) != (expected.c_cflag & CRTSCTS)) {
        TakeHardwareFlow(dcb, (settings.c_cflag & CRTSCTS) != 0);
    }
    SetFlag(dcb.Flags, dcb_Parity, (settings.c_iflag & INPCK) != 0);
    SetFlag(dcb.Flags, dcb_OutX, (settings.c_iflag & IXON) != 0);
    SetFlag(dcb.Flags, dcb_InX, (settings.c_iflag & IXOFF) != 0);
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return dcb;
}

struct FoundLine {
    termios2 settings;
};

int PrepareLine(Device& device) {
    termios2 settings{};
    if (ioctl(device.fd, TCGETS2, &settings) != 0) {
        return Fail(kPlatformFileNotFound); // not a terminal: no serial device at this path
    }
    device.foundLine = std::make_shared<const FoundLine>(FoundLine{settings});
    MakeRaw(settings);
    if (ioctl(device.fd, TCSETS2, &settings) != 0) {
        return Fail(PlatformErrorFromErrno(errno));
    }
    device.stored = DcbFromTermios(settings, DefaultDcb());
    device.countersSupported = ReadLineCounters(device.fd, device.eventBase);
    device.errorBase = device.eventBase;
    return 0;
}

// The raw mode of the open is the library's own doing; a program that set the line keeps what it
// set, as a port keeps its settings between opens.
void RestoreFoundLine(Device& device) {
    std::lock_guard guard(device.lock);
    if (device.foundLine) {
        ioctl(device.fd, TCSETS2, &device.foundLine->settings);
    }
}

} // namespace serial_detail

using namespace serial_detail;

int SerialSetState(int32_t handle, const TDCB& dcb) {
    if (CheckDcb(dcb) != 0) {
        return Fail(kSerialBadArgument);
    }
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    std::lock_guard guard(device->lock);
    termios2 settings{};
    if (GetSettings(device->fd, settings) != 0) {
        return -SerialLastError();
    }
    const termios2 current = settings;
    ApplyDcb(dcb, settings);
    // Opening a port applies its settings one by one, mostly unchanged. Many USB adapters
    // reprogram the chip on every change request, at a round trip over the bus each, so only a
    // real change is sent.
    if (std::memcmp(&settings, &current, sizeof settings) != 0) {
        if (ioctl(device->fd, TCSETS2, &settings) != 0) {
            return Fail(errno == EINVAL ? kSerialBadArgument : PlatformErrorFromErrno(errno));
        }
        if (!DriverTookRate(*device, dcb.BaudRate, current)) {
            return Fail(kSerialBadArgument);
        }
    }
    device->stored = dcb;
    device->foundLine.reset();
    ApplyControlLines(*device, dcb);
    return 0;
}

int SerialGetState(int32_t handle, TDCB& dcb) {
    DeviceRef device = AcquireDevice(handle);
    if (!device) {
        return -kSerialBadHandle;
    }
    std::lock_guard guard(device->lock);
    termios2 settings{};
    if (GetSettings(device->fd, settings) != 0) {
        return -SerialLastError();
    }
    dcb = DcbFromTermios(settings, device->stored);
    return 0;
}

} // namespace kivo
