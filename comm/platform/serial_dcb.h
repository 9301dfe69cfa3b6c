// The device control block: a serial line's settings as the device layer reads and writes
// them. The layout and the flag bits follow the classic communications API so that the
// dispatcher's flow-control arithmetic works on it unchanged; the platform's serial access
// maps it to and from the operating system's own settings (termios on Linux).
#pragma once

#include <cstdint>

namespace kivo {

struct TDCB {
    uint32_t DCBlength = sizeof(TDCB);
    uint32_t BaudRate = 0;
    uint32_t Flags = 0; // the dcb_* bits below
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;   // dcbParity* codes
    uint8_t StopBits = 0; // dcbStopBits* codes
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};

// Flag bits of TDCB::Flags.
constexpr uint32_t dcb_Binary = 0x0001;
constexpr uint32_t dcb_Parity = 0x0002;
constexpr uint32_t dcb_OutxCtsFlow = 0x0004;
constexpr uint32_t dcb_OutxDsrFlow = 0x0008;
constexpr uint32_t dcb_DtrControlMask = 0x0030;
constexpr uint32_t dcb_DtrControlEnable = 0x0010;
constexpr uint32_t dcb_DtrControlHandshake = 0x0020;
constexpr uint32_t dcb_DsrSensitivity = 0x0040;
constexpr uint32_t dcb_TxContinueOnXoff = 0x0080;
constexpr uint32_t dcb_OutX = 0x0100;
constexpr uint32_t dcb_InX = 0x0200;
constexpr uint32_t dcb_ErrorChar = 0x0400;
constexpr uint32_t dcb_Null = 0x0800;
constexpr uint32_t dcb_RtsControlMask = 0x3000;
constexpr uint32_t dcb_RtsControlEnable = 0x1000;
constexpr uint32_t dcb_RtsControlHandshake = 0x2000;
constexpr uint32_t dcb_RtsControlToggle = 0x3000;
constexpr uint32_t dcb_AbortOnError = 0x4000;

// Parity codes.
constexpr uint8_t dcbParityNone = 0;
constexpr uint8_t dcbParityOdd = 1;
constexpr uint8_t dcbParityEven = 2;
constexpr uint8_t dcbParityMark = 3;
constexpr uint8_t dcbParitySpace = 4;

// Stop-bit codes.
constexpr uint8_t dcbStopBitsOne = 0;
constexpr uint8_t dcbStopBitsOneHalf = 1;
constexpr uint8_t dcbStopBitsTwo = 2;

// Device status record filled by the device layer's GetComError.
struct TComStat {
    uint32_t Flags = 0; // bit 0 CTS hold, 1 DSR hold, 2 DCD hold, 3 XOFF hold, 4 XOFF sent
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

constexpr uint32_t comstat_CtsHold = 0x01;
constexpr uint32_t comstat_DsrHold = 0x02;
constexpr uint32_t comstat_RlsdHold = 0x04;
constexpr uint32_t comstat_XoffHold = 0x08;
constexpr uint32_t comstat_XoffSent = 0x10;

// Line-error bits.
constexpr uint32_t CE_RXOVER = 0x01;
constexpr uint32_t CE_OVERRUN = 0x02;
constexpr uint32_t CE_RXPARITY = 0x04;
constexpr uint32_t CE_FRAME = 0x08;
constexpr uint32_t CE_BREAK = 0x10;

// Line functions of EscapeComFunction.
constexpr int escSetRts = 3;
constexpr int escClrRts = 4;
constexpr int escSetDtr = 5;
constexpr int escClrDtr = 6;

// Comm event bits.
constexpr uint32_t ev_RxChar = 0x0001;
constexpr uint32_t ev_Cts = 0x0008;
constexpr uint32_t ev_Dsr = 0x0010;
constexpr uint32_t ev_Rlsd = 0x0020;
constexpr uint32_t ev_Break = 0x0040;
constexpr uint32_t ev_Err = 0x0080;
constexpr uint32_t ev_Ring = 0x0100;
constexpr uint32_t ev_RingTe = 0x2000;

// Modem-status bits as the device reports them.
constexpr uint32_t ms_CtsOn = 0x10;
constexpr uint32_t ms_DsrOn = 0x20;
constexpr uint32_t ms_RingOn = 0x40;
constexpr uint32_t ms_RlsdOn = 0x80;

} // namespace kivo
