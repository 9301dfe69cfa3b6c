// Serial device access: the calls the dispatcher's device layer makes on a serial port.
//
// Devices are named by integer handles counting up from 1 (a number comes round again only
// after 2^31 opens), so a stale handle does not reach a device opened later. Every call answers a
// bad handle with -kSerialBadHandle and bad arguments with -kSerialBadArgument; failures return the
// negated platform code (oserror.h) and also leave it as this thread's last error.
//
// The calls are made for the dispatcher's three threads: the event thread blocks in
// SerialWaitEvent, the dispatch thread reads with SerialRead (never blocks), the write thread
// blocks in SerialWrite; a reader may wait for input itself with SerialWaitInput.
// SerialSetEventMask(h, 0) ends a pending event wait, SerialCancelWrite ends a blocked write,
// and SerialClose ends both (and a pending SerialWaitInput) at once; none of them spins.
#pragma once

#include "comm/platform/oserror.h"
#include "comm/platform/serial_dcb.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kivo {

// Platform codes of the device access beyond those of oserror.h.
constexpr int kSerialBadHandle = 6; // not an open device (or it is being closed)
constexpr int kSerialBadArgument = kPlatformInvalidArgument; // out of range, a null buffer

// Line-error bit reported once by SerialClearError after the device hung up (a USB adapter was
// unplugged, the far end of a pseudo-terminal closed): the classic I/O-error bit.
constexpr uint32_t CE_HANGUP = 0x0400;

// The platform code of the last failed call on this thread (0 after a success that clears it).
int SerialLastError() noexcept;
void SetSerialLastError(int code) noexcept;

// Opens a device for reading and writing, exclusively: "\\.\COMn" (or "COMn") through the port
// map (portmap.h), or a device path. Returns the handle (> 0) or the negated platform code:
// 2 no such device, 3 a malformed name, 5 held by another open, 13 no permission, 8 when the
// descriptors that end its waits, or the thread that watches its modem lines, cannot be made
// (the device is then closed again). The line is switched to raw mode (no echo, no line editing, no
// character translation); its speed and framing stay as the device had them until SerialSetState.
int32_t SerialOpen(const std::string& name);

// Closes the device, ending every wait and write in progress on it; returns once no other
// thread uses it any more. 0 or -kSerialBadHandle. A line that SerialSetState never set gets back
// the settings the open found (so a port opened only to see whether it can be, is left as it
// was); one that was set keeps them. In a child forked after the open, only the child's copies
// of the descriptors are closed: the device stays the parent's as it was.
int SerialClose(int32_t handle);

// Line settings. SerialSetState applies the block to the device and keeps it (a rate the driver
// cannot come within 3 % of is refused with -kSerialBadArgument, the line left as it was);
// SerialGetState reports the device's settings, and for what the device cannot represent (DSR/DTR
// handshake, XON/XOFF limits, one and a half stop bits, the RTS and DTR control modes) exactly
// what SerialSetState kept.
// DSR/DTR handshaking has no counterpart on this platform: it is kept and reported, DTR is
// raised as with "DTR enabled", and no flow control is done on DSR.
int SerialSetState(int32_t handle, const TDCB& dcb);
int SerialGetState(int32_t handle, TDCB& dcb);

// Queue sizes are fixed by the driver: the call only checks its handle.
int SerialSetupQueues(int32_t handle, uint32_t inputSize, uint32_t outputSize);

constexpr uint32_t kPurgeInput = 1;
constexpr uint32_t kPurgeOutput = 2;
// Discards the driver's pending input and/or output. Purging the output also lifts a
// SerialCancelWrite, so that the next write goes out again.
int SerialPurge(int32_t handle, uint32_t queues);

// The line errors (CE_* bits) since the previous call, plus the device's input count and hold
// flags in `stat`. Its output count stays 0: what waits to go out is counted by the caller's
// output ring, and asking the driver as well would cost every status refresh a system call.
// The input count is such a call too: a caller that has no use for it leaves it out, and it
// stays 0.
int SerialClearError(int32_t handle, uint32_t& errors, TComStat& stat, bool countInput = true);

// CTS, DSR, RI and DCD as ms_* bits. A device without modem lines (a pseudo-terminal) reports
// CTS and DSR on: a ready peer on a three-wire line.
int SerialGetModemStatus(int32_t handle, uint32_t& status);

// Raises or lowers RTS or DTR (escSetRts, escClrRts, escSetDtr, escClrDtr). A device without
// modem lines ignores it.
int SerialEscape(int32_t handle, int function);
int SerialSetBreak(int32_t handle, bool on);

// Asks a USB adapter's driver to pass received bytes on at once instead of batching them.
// Devices without the mode ignore it.
int SerialSetLowLatency(int32_t handle, bool on);

// Copies up to `count` bytes the driver already holds; never waits. Returns the count (0 when
// nothing is there, also after a hang-up) or a negated platform code.
int SerialRead(int32_t handle, void* buffer, int32_t count);

// Writes all `count` bytes, waiting while the driver's buffer is full. Returns early when
// SerialCancelWrite or SerialClose cancels it; the result is the count that went out. A cancel
// stays in force until the output is purged (SerialPurge with kPurgeOutput), so a write that
// starts just after the cancel cannot block the flush that cancelled it.
int SerialWrite(int32_t handle, const void* data, int32_t count);
// The same, calling `taken` on the writing thread with the size of each part the driver takes,
// so that a caller holding the bytes in a ring can free them as they leave.
int SerialWrite(int32_t handle, const void* data, int32_t count,
                const std::function<void(int32_t)>& taken);
// Writes what the driver takes at once and never waits: the count that went out (0 when the
// driver's buffer is full or a cancel is in force) or a negated platform code.
int SerialWriteNow(int32_t handle, const void* data, int32_t count);
int SerialCancelWrite(int32_t handle);

// The comm events (ev_* bits) a wait reports. Setting the mask ends a pending wait with no
// events; with mask 0 every wait returns at once until another mask is set.
int SerialSetEventMask(int32_t handle, uint32_t mask);

// Blocks until a comm event in the mask occurs, the mask changes, the time-out passes (in
// microseconds; negative: none) or the device is closed. Returns 0 with the events (0 after a
// mask change or time-out), or -kSerialBadHandle when the device was closed.
//
// ev_RxChar is reported once and then not again until input was taken (a SerialRead that
// returned bytes, or purging the input), so a reader that cannot take more for a while is not
// woken over and over by the same bytes. A hang-up is reported once, as ev_Err (with CE_HANGUP
// at the next SerialClearError); later waits no longer watch the device.
int SerialWaitEvent(int32_t handle, uint32_t& events, int64_t timeoutUs = -1);

// For a thread that reads the device itself: blocks until bytes can be read, `alsoFd` is
// readable, the device is closed or hangs up, the application is terminating, or `timeoutMs`
// passes (INFINITE: no limit). 1 when bytes are waiting, 0 otherwise. A hung-up device is no
// longer watched.
int SerialWaitInput(int32_t handle, int alsoFd, uint32_t timeoutMs);
// While on, a reader waiting with SerialWaitInput takes the input itself: event waits neither
// report ev_RxChar nor wake for it, so the two do not both run for the same bytes. Switched
// off, a pending event wait watches the input again at once.
int SerialReaderTakesInput(int32_t handle, bool on);

// Whether the device has hung up.
bool SerialHungUp(int32_t handle);

// For command-line programs that sit in SerialWaitEvent: SIGINT, SIGTERM and SIGHUP (unless
// ignored from the start) set the application's terminating flag and end the waits on `handle`
// (and make the next ones return at once), so the program can finish cleanly. Every handle
// asked for is woken, not only the last.
int SerialWakeOnStopSignals(int32_t handle);

} // namespace kivo
