// Line settings: the device control block mapped to the kernel's settings and back.
#include "comm/platform/serial.h"
#include "comm/platform/serial_termios.h"
#include "tests/platform/serial_testutil.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kivo {
namespace {

using serial_detail::ApplyDcb;
using serial_detail::DcbFromTermios;
using serial_detail::SpeedOf;
using testing::TLinePair;

TDCB Line(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stopBits) {
    TDCB dcb;
    dcb.Flags = dcb_Binary | dcb_DtrControlEnable | dcb_RtsControlEnable;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    return dcb;
}

void ExpectSameBlock(const TDCB& got, const TDCB& want) {
    EXPECT_EQ(got.BaudRate, want.BaudRate);
    EXPECT_EQ(got.Flags, want.Flags);
    EXPECT_EQ(got.XonLim, want.XonLim);
    EXPECT_EQ(got.XoffLim, want.XoffLim);
    EXPECT_EQ(got.ByteSize, want.ByteSize);
    EXPECT_EQ(got.Parity, want.Parity);
    EXPECT_EQ(got.StopBits, want.StopBits);
    EXPECT_EQ(got.XonChar, want.XonChar);
    EXPECT_EQ(got.XoffChar, want.XoffChar);
}

TEST(SerialSettingsTest, FramingMapsToTheKernelSettingsAndBack) {
    for (uint8_t parity = dcbParityNone; parity <= dcbParitySpace; ++parity) {
        for (uint8_t size = 5; size <= 8; ++size) {
            const TDCB want = Line(9600, size, parity, dcbStopBitsTwo);
            termios2 settings{};
            ApplyDcb(want, settings);
            // Read back against a block that agrees on nothing: every field comes from the
            // kernel's settings alone.
            const TDCB got = DcbFromTermios(settings, Line(300, 8, dcbParityNone, 0));
            EXPECT_EQ(got.ByteSize, size);
            EXPECT_EQ(got.Parity, parity);
            EXPECT_EQ(got.StopBits, dcbStopBitsTwo);
        }
    }
}

TEST(SerialSettingsTest, MarkAndSpaceParityUseStickParity) {
    termios2 settings{};
    ApplyDcb(Line(9600, 8, dcbParityMark, 0), settings);
    EXPECT_EQ(settings.c_cflag & (PARENB | PARODD | CMSPAR),
              static_cast<unsigned>(PARENB | PARODD | CMSPAR));
    ApplyDcb(Line(9600, 8, dcbParitySpace, 0), settings);
    EXPECT_EQ(settings.c_cflag & (PARENB | PARODD | CMSPAR),
              static_cast<unsigned>(PARENB | CMSPAR));
}

TEST(SerialSettingsTest, AnyBaudRateIsCarried) {
    termios2 settings{};
    ApplyDcb(Line(115200, 8, 0, 0), settings);
    EXPECT_EQ(settings.c_cflag & CBAUD, static_cast<unsigned>(B115200));
    EXPECT_EQ(SpeedOf(settings), 115200u);
    ApplyDcb(Line(31250, 8, 0, 0), settings);
    EXPECT_EQ(settings.c_cflag & CBAUD, static_cast<unsigned>(BOTHER));
    EXPECT_EQ(SpeedOf(settings), 31250u);
}

TEST(SerialSettingsTest, ARateTheDriverMovedFarIsNotTheRateAskedFor) {
    using serial_detail::RateWithinReach;
    EXPECT_TRUE(RateWithinReach(9600, 9600));
    EXPECT_TRUE(RateWithinReach(230400, 230769)); // the nearest a USB adapter's divisor makes
    EXPECT_TRUE(RateWithinReach(100, 103));
    EXPECT_TRUE(RateWithinReach(100, 97));
    EXPECT_FALSE(RateWithinReach(100, 104));
    EXPECT_FALSE(RateWithinReach(100, 96));
    // Out of a 16550's range, the driver keeps the old rate.
    EXPECT_FALSE(RateWithinReach(250000, 9600));
    EXPECT_FALSE(RateWithinReach(1000000, 57600));
    EXPECT_TRUE(RateWithinReach(4000000000u, 3900000000u));
    EXPECT_FALSE(RateWithinReach(4000000000u, 3800000000u));
    EXPECT_FALSE(RateWithinReach(1, 4000000000u));
}

TEST(SerialSettingsTest, RawModeAlwaysWithFlowControlFromTheBlock) {
    termios2 settings{};
    settings.c_iflag = ICRNL | IXANY | ISTRIP;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_lflag = ECHO | ICANON | ISIG;
    settings.c_cc[VMIN] = 1;
    TDCB dcb = Line(9600, 8, 0, 0);
    dcb.Flags |= dcb_OutX | dcb_InX | dcb_OutxCtsFlow;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    ApplyDcb(dcb, settings);
    EXPECT_EQ(settings.c_iflag, static_cast<unsigned>(IXON | IXOFF));
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    EXPECT_EQ(settings.c_cc[VSTART], 0x21);
    EXPECT_EQ(settings.c_cc[VSTOP], 0x22);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);

    dcb.Flags = (dcb.Flags & ~(dcb_OutxCtsFlow | dcb_RtsControlMask)) | dcb_RtsControlHandshake;
    ApplyDcb(dcb, settings);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u) << "RTS handshake alone also asks for it";
}

TEST(SerialSettingsTest, HardwareFlowChangedBehindTheBlockIsReported) {
    TDCB stored = Line(9600, 8, 0, 0);
    termios2 settings{};
    ApplyDcb(stored, settings);
    settings.c_cflag |= CRTSCTS;
    TDCB got = DcbFromTermios(settings, stored);
    EXPECT_NE(got.Flags & dcb_OutxCtsFlow, 0u);
    EXPECT_EQ(got.Flags & dcb_RtsControlMask, dcb_RtsControlHandshake);

    stored.Flags |= dcb_OutxCtsFlow;
    stored.Flags = (stored.Flags & ~dcb_RtsControlMask) | dcb_RtsControlHandshake;
    ApplyDcb(stored, settings);
    settings.c_cflag &= ~CRTSCTS;
    got = DcbFromTermios(settings, stored);
    EXPECT_EQ(got.Flags & dcb_OutxCtsFlow, 0u);
    EXPECT_EQ(got.Flags & dcb_RtsControlMask, dcb_RtsControlEnable);
}

TEST(SerialSettingsTest, DeviceReturnsWhatWasSetIncludingWhatTheKernelCannotHold) {
    TLinePair pair;
    TDCB dcb = Line(31250, 8, dcbParityNone, dcbStopBitsOneHalf);
    dcb.Flags = dcb_Binary | dcb_OutxDsrFlow | dcb_DtrControlHandshake | dcb_DsrSensitivity |
                dcb_RtsControlToggle | dcb_OutX | dcb_InX;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.ErrorChar = '?';
    dcb.EvtChar = '\n';
    ASSERT_EQ(SerialSetState(pair.line, dcb), 0);
    TDCB got;
    ASSERT_EQ(SerialGetState(pair.line, got), 0);
    ExpectSameBlock(got, dcb);
    EXPECT_EQ(got.ErrorChar, '?');
    EXPECT_EQ(got.EvtChar, '\n');

    dcb = Line(9600, 8, dcbParityNone, dcbStopBitsOne);
    ASSERT_EQ(SerialSetState(pair.line, dcb), 0);
    ASSERT_EQ(SerialGetState(pair.line, got), 0);
    ExpectSameBlock(got, dcb);
}

TEST(SerialSettingsTest, EachChangeLandsAfterRepeatsOfTheSameBlock) {
    // An open applies many blocks that differ in one field or in none.
    TLinePair pair;
    auto setTwiceAndCheck = [&pair](const TDCB& dcb) {
        ASSERT_EQ(SerialSetState(pair.line, dcb), 0);
        ASSERT_EQ(SerialSetState(pair.line, dcb), 0);
        TDCB got;
        ASSERT_EQ(SerialGetState(pair.line, got), 0);
        ExpectSameBlock(got, dcb);
    };
    TDCB dcb = Line(19200, 8, dcbParityNone, dcbStopBitsOne);
    dcb.Flags |= dcb_OutX;
    setTwiceAndCheck(dcb);
    dcb.XonChar = 0x05; // held by the kernel alone
    setTwiceAndCheck(dcb);
    dcb.XonLim = 77; // not held by the kernel at all
    setTwiceAndCheck(dcb);
    dcb.BaudRate = 57600;
    setTwiceAndCheck(dcb);
}

TEST(SerialSettingsTest, InvalidBlocksAreRefusedAndChangeNothing) {
    TLinePair pair;
    const TDCB good = Line(19200, 8, dcbParityNone, dcbStopBitsOne);
    ASSERT_EQ(SerialSetState(pair.line, good), 0);
    TDCB bad[6] = {Line(0, 8, 0, 0),    Line(9600, 4, 0, 0), Line(9600, 9, 0, 0),
                   Line(9600, 8, 5, 0), Line(9600, 8, 0, 3), Line(9600, 8, 0, 0)};
    bad[5].Flags |= dcb_OutX;
    bad[5].XonChar = bad[5].XoffChar = 0x11;
    for (const TDCB& dcb : bad) {
        EXPECT_EQ(SerialSetState(pair.line, dcb), -kSerialBadArgument);
    }
    TDCB got;
    ASSERT_EQ(SerialGetState(pair.line, got), 0);
    ExpectSameBlock(got, good);
}

// A port opened only to see whether it can be (the port selection does that to every port) must
// not be left in raw mode: it may be a console, or a line another program uses without a lock.
TEST(SerialSettingsTest, ALineNeverSetIsLeftAsTheOpenFoundIt) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    const int watch = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watch, 0);
    auto settings = [watch] {
        termios2 now{};
        EXPECT_EQ(ioctl(watch, TCGETS2, &now), 0);
        return now;
    };
    termios2 cooked = settings();
    cooked.c_lflag |= ECHO | ICANON;
    cooked.c_cflag = (cooked.c_cflag & ~CBAUD) | B4800;
    ASSERT_EQ(ioctl(watch, TCSETS2, &cooked), 0);

    int32_t line = SerialOpen(pty.SlavePath);
    ASSERT_GT(line, 0);
    EXPECT_EQ(settings().c_lflag & (ECHO | ICANON), 0u);
    SerialClose(line);
    EXPECT_EQ(settings().c_lflag & (ECHO | ICANON), static_cast<unsigned>(ECHO | ICANON));
    EXPECT_EQ(SpeedOf(settings()), 4800u);

    // A line the program set keeps what it was given, as a port keeps its settings.
    line = SerialOpen(pty.SlavePath);
    ASSERT_GT(line, 0);
    ASSERT_EQ(SerialSetState(line, Line(19200, 8, dcbParityNone, dcbStopBitsOne)), 0);
    SerialClose(line);
    EXPECT_EQ(settings().c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(SpeedOf(settings()), 19200u);
    close(watch);
    PtyClose(pty);
}

} // namespace
} // namespace kivo
