// Inside the serial device access: the device control block mapped to and from the kernel's
// terminal settings (termios2, which carries any baud rate). Not for use outside comm/platform
// and its tests; it must not meet <termios.h> in one translation unit.
#pragma once

#include "comm/platform/serial_dcb.h"

#include <asm/termbits.h>

namespace kivo::serial_detail {

// 0 when the block can be applied, else kSerialBadArgument (speed 0, data bits outside 5-8,
// an unknown parity or stop-bit code, software flow with equal XON and XOFF characters).
int CheckDcb(const TDCB& dcb);

// Raw mode: no echo, no line editing, no character translation, reads return at once.
void MakeRaw(termios2& settings);

// The block's speed, framing and flow control written over `settings`, in raw mode.
void ApplyDcb(const TDCB& dcb, termios2& settings);

// The block that describes `settings`: `stored` wherever the device holds exactly what
// `stored` asks for (so what the device cannot represent comes back unchanged), the device's
// own value wherever it differs.
TDCB DcbFromTermios(const termios2& settings, const TDCB& stored);

uint32_t SpeedOf(const termios2& settings);

// Whether a line the driver runs at `taken` baud still talks to a far end at `asked` baud: within
// 3 %, about what the UARTs at the two ends can bridge over a character.
bool RateWithinReach(uint32_t asked, uint32_t taken);

} // namespace kivo::serial_detail
