// Unit Kwuser, data and status: reading the input ring, queueing output, the ring counts and
// flushes, line errors, the modem-status shadow, DTR, RTS and break, and flow control.
//
// Locks nest in the order inputLock, mainLock, outputLock. Reads that trace, and the receive
// check's scan of the ring, take mainLock inside inputLock; PutBlock leaves outputLock before it
// takes mainLock to trace and log.
#include "comm/dispatch/kwuser.h"
#include "comm/errors/kvexcept.h"

#include <algorithm>
#include <cstdint>

namespace kivo {

namespace {

constexpr uint8_t kXonChar = 0x11;
constexpr uint8_t kXoffChar = 0x13;

// Hardware flow options.
constexpr uint32_t hwfUseDTR = 1;
constexpr uint32_t hwfUseRTS = 2;
constexpr uint32_t hwfRequireDSR = 4;
constexpr uint32_t hwfRequireCTS = 8;
// Software flow options.
constexpr uint32_t sfTransmitFlow = 1;
constexpr uint32_t sfReceiveFlow = 2;

// Flow-state codes, one above the component's states.
constexpr int fsOff = 1;
constexpr int fsOn = 2;
constexpr int fsDsrHold = 3;
constexpr int fsCtsHold = 4;
constexpr int fsXOutHold = 6;
constexpr int fsXInHold = 7;
constexpr int fsXBothHold = 8;

// Modem-status bits of the shadow: the changed bits in the low nibble.
constexpr uint32_t msDeltaCts = 0x01;
constexpr uint32_t msDeltaDsr = 0x02;
constexpr uint32_t msTrailingRing = 0x04;
constexpr uint32_t msDeltaDcd = 0x08;
constexpr uint32_t msLineStates = 0xF0;
constexpr uint32_t msChangedBits = 0x0F;

// Line errors that GetLineError reports and clears; the break bit stays for CheckLineBreak.
constexpr uint32_t kReportedLineErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
constexpr uint32_t kAccumulatedLineErrors = kReportedLineErrors | CE_BREAK;

uint32_t RingUsed(uint32_t head, uint32_t tail, bool full, uint32_t size) {
    if (tail < head) {
        return head - tail;
    }
    if (tail > head) {
        return head + size - tail;
    }
    return full ? size : 0;
}

uint32_t InputUsed(const TKvdBaseDispatcher& d) {
    return RingUsed(d.inHead, d.inTail, d.inputFull, InBufferSize);
}

uint32_t InputPosition(uint32_t tail, uint64_t offset) {
    return static_cast<uint32_t>((tail + offset) % InBufferSize);
}

// Bytes at the read position that the caller has already been handed while an avail or data
// notification runs. Its handlers share one read position, each starting over from it, and
// count as read only when the notification ends. A thread reading outside the handlers (the
// port's owner between its events) goes on past everything the handlers have taken so far, so
// it is never handed a byte twice.
uint32_t NotifyOffset(const TKvdBaseDispatcher& d) {
    if (!d.inDataNotify) {
        return 0;
    }
    if (d.ReadsForNotification()) {
        return d.handlerRead;
    }
    return std::max(d.maxHandlerRead, d.handlerRead);
}

bool ReadsAsHandler(const TKvdBaseDispatcher& d) {
    return d.inDataNotify && d.ReadsForNotification();
}

// The offset of the byte `ahead` bytes after a handler's next one. What a reader outside the
// handlers took (or a flush dropped) meanwhile is stepped over, so that no byte is handed out
// twice.
uint64_t HandlerPosition(const TKvdBaseDispatcher& d, uint64_t ahead) {
    uint64_t next = d.handlerRead;
    if (next >= d.outsideFrom && next < d.outsideTo) {
        next = d.outsideTo;
    }
    const bool crosses = next < d.outsideFrom && next + ahead >= d.outsideFrom;
    return next + ahead + (crosses ? d.outsideTo - d.outsideFrom : 0);
}

// Bytes taken outside the handlers of the running notification, from `from` to `to`: joined
// to those taken before, they are left out of every handler read from now on.
void TakeOutside(TKvdBaseDispatcher& d, uint32_t from, uint32_t to) {
    if (d.outsideTo == d.outsideFrom || from < d.outsideFrom) {
        d.outsideFrom = from;
    }
    d.outsideTo = to;
    d.maxHandlerRead = to;
}

// Copies `length` input bytes that start `offset` bytes after inTail, wrapping at the ring's
// end; -3007 when they are not all there. Call under inputLock.
int PeekInput(const TKvdBaseDispatcher& d, uint8_t* buffer, uint64_t offset, uint32_t length) {
    if (d.inBuffer == nullptr || offset + length > InputUsed(d)) {
        return ecBufferIsEmpty;
    }
    uint32_t start = InputPosition(d.inTail, offset);
    uint32_t first = std::min(length, InBufferSize - start);
    std::copy_n(d.inBuffer + start, first, buffer);
    std::copy_n(d.inBuffer, length - first, buffer + first);
    return static_cast<int>(length);
}

// Copies the caller's next `length` input bytes after skipping `skip` of them.
int PeekNext(const TKvdBaseDispatcher& d, uint8_t* buffer, uint32_t skip, uint32_t length) {
    if (!ReadsAsHandler(d)) {
        return PeekInput(d, buffer, uint64_t{NotifyOffset(d)} + skip, length);
    }
    const uint64_t start = HandlerPosition(d, skip);
    const uint64_t before =
        start < d.outsideFrom ? std::min<uint64_t>(length, d.outsideFrom - start) : length;
    if (before == length) {
        return PeekInput(d, buffer, start, length);
    }
    const int result = PeekInput(d, buffer, start, static_cast<uint32_t>(before));
    if (result < 0) {
        return result;
    }
    return PeekInput(d, buffer + before, d.outsideTo, static_cast<uint32_t>(length - before)) < 0
               ? ecBufferIsEmpty
               : static_cast<int>(length);
}

// The input bytes the caller has not been handed yet.
uint32_t UnreadByCaller(const TKvdBaseDispatcher& d) {
    const uint32_t used = InputUsed(d);
    if (!ReadsAsHandler(d)) {
        return used - std::min(used, NotifyOffset(d));
    }
    const uint64_t next = HandlerPosition(d, 0);
    const uint64_t skipped = next < d.outsideFrom ? d.outsideTo - d.outsideFrom : 0;
    return next + skipped >= used ? 0 : static_cast<uint32_t>(used - next - skipped);
}

// Consumes `length` bytes that were just peeked: in notification-read mode only the handler's
// count moves, the ring's read position moves when the notification ends.
void TakeInput(TKvdBaseDispatcher& d, uint32_t length) {
    // Taking nothing must leave a full ring full: cleared, its equal head and tail read as empty.
    if (length == 0) {
        return;
    }
    if (ReadsAsHandler(d)) {
        d.handlerRead = static_cast<uint32_t>(HandlerPosition(d, length - 1) + 1);
        return;
    }
    if (d.inDataNotify) {
        // Committed with the handlers' reads when the notification ends.
        const uint32_t from = NotifyOffset(d);
        TakeOutside(d, from, from + length);
        return;
    }
    d.inTail = InputPosition(d.inTail, length);
    d.inTakenCount += length;
    // A full ring stopped the dispatch thread's reading; the room made here is for the bytes
    // the device still holds, which would otherwise wait for its next timed pass.
    if (d.inputFull.exchange(false) && d.commEventSignal != nullptr) {
        d.commEventSignal->Set();
    }
}

void TraceBytes(TKvdBaseDispatcher& d, char kind, const uint8_t* bytes, uint32_t count) {
    if (!d.trace.On()) {
        return;
    }
    TCriticalSectionGuard guard(d.mainLock);
    if (!d.trace.On()) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        d.AddTraceEntry(kind, static_cast<char>(bytes[i]));
    }
}

// Reads the device's modem status into the shadow, turns a seen ring into the RI changed bit,
// and clears the shadow's bits outside `keepMask`; returns the shadow as it was before clearing.
uint8_t ReadModemStatus(TKvdBaseDispatcher& d, uint32_t keepMask) {
    TCriticalSectionGuard guard(d.mainLock);
    uint32_t lines = d.modemStatus & msLineStates;
    uint32_t device = 0;
    // A device that cannot tell keeps the lines as last seen.
    if (d.GetComModemStatus(device)) {
        lines = device & msLineStates;
    }
    uint32_t shadow = lines | (d.modemStatus & msChangedBits);
    if (d.ringEdge.exchange(false)) {
        shadow |= msTrailingRing;
    }
    d.modemStatus = shadow & keepMask;
    return static_cast<uint8_t>(shadow);
}

bool ValidFlowMarks(const TKvdBaseDispatcher& d, uint32_t bufferFull, uint32_t bufferResume) {
    return bufferFull >= bufferResume && bufferFull <= d.inQueueSize;
}

void SetFlags(uint32_t& flags, uint32_t mask, bool on) {
    flags = on ? flags | mask : flags & ~mask;
}

void SetFlowLimits(TKvdBaseDispatcher& d, uint32_t bufferFull, uint32_t bufferResume) {
    d.deviceControl.XoffLim = static_cast<uint16_t>(d.inQueueSize - bufferFull);
    d.deviceControl.XonLim = static_cast<uint16_t>(bufferResume);
}

void SetFlowChars(TDCB& dcb, char on, char off) {
    dcb.XonChar = on;
    dcb.XoffChar = off;
}

// The room left for output, by the count the device status reports; call under outputLock.
uint32_t OutputFree(TKvdBaseDispatcher& d) {
    return d.outBufferSize - std::min(d.outBufferSize, d.RefreshOutputStatus().cbOutQue);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Input

bool TKvdBaseDispatcher::CharReady() {
    TCriticalSectionGuard guard(inputLock);
    return inBuffer != nullptr && UnreadByCaller(*this) > 0;
}

int TKvdBaseDispatcher::PeekChar(char& c, uint32_t index) {
    if (index == 0) {
        return ecBufferIsEmpty;
    }
    TCriticalSectionGuard guard(inputLock);
    uint8_t byte;
    int result = PeekNext(*this, &byte, index - 1, 1);
    if (result < 0) {
        return result;
    }
    c = static_cast<char>(byte);
    return 0;
}

int TKvdBaseDispatcher::GetChar(char& c) {
    TCriticalSectionGuard guard(inputLock);
    uint8_t byte;
    int result = PeekNext(*this, &byte, 0, 1);
    if (result < 0) {
        return result;
    }
    TakeInput(*this, 1);
    c = static_cast<char>(byte);
    TraceBytes(*this, 'R', &byte, 1);
    return 0;
}

int TKvdBaseDispatcher::PeekBlock(void* buffer, uint32_t length) {
    if (buffer == nullptr && length > 0) {
        return ecBadArgument;
    }
    TCriticalSectionGuard guard(inputLock);
    return PeekNext(*this, static_cast<uint8_t*>(buffer), 0, length);
}

int TKvdBaseDispatcher::GetBlock(void* buffer, uint32_t length) {
    if (buffer == nullptr && length > 0) {
        return ecBadArgument;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    {
        TCriticalSectionGuard guard(inputLock);
        int result = PeekNext(*this, bytes, 0, length);
        if (result < 0) {
            return result;
        }
        TakeInput(*this, length);
    }
    TraceBytes(*this, 'R', bytes, length);
    return static_cast<int>(length);
}

uint32_t TKvdBaseDispatcher::InBuffUsed() {
    TCriticalSectionGuard guard(inputLock);
    if (inBuffer == nullptr) {
        return 0;
    }
    return UnreadByCaller(*this);
}

uint32_t TKvdBaseDispatcher::InBuffFree() {
    TCriticalSectionGuard guard(inputLock);
    if (inBuffer == nullptr) {
        return 0;
    }
    return InBufferSize - UnreadByCaller(*this);
}

int TKvdBaseDispatcher::FlushInBuffer() {
    TCriticalSectionGuard guard(inputLock);
    if (inBuffer == nullptr) {
        return ecNotOpen;
    }
    int result = FlushCom(1);
    if (inDataNotify) {
        // The notification drops the bytes when it ends; no handler is handed them meanwhile.
        // Until then they keep their places: a full ring stays full, so that bytes arriving in
        // between wait in the device instead of being dropped with them.
        TakeOutside(*this, 0, InputUsed(*this));
    } else {
        // Counting the flushed bytes as taken makes the receive check skip them: it owns the
        // scan position and moves it on to the read position itself.
        inTakenCount += InputUsed(*this);
        inTail = inHead.load();
        handlerRead = 0;
        inputFull = false;
    }
    ResetDataTriggers();
    return result;
}

// ---------------------------------------------------------------------------------------------
// Output

int TKvdBaseDispatcher::PutChar(char c) {
    return PutBlock(&c, 1);
}

int TKvdBaseDispatcher::PutString(const std::string& text) {
    if (text.size() > UINT32_MAX) {
        return ecOutputBufferTooSmall;
    }
    return PutBlock(text.data(), static_cast<uint32_t>(text.size()));
}

// In RS-485 mode the platform's serial driver switches RTS around each transmission itself
// (RTS control toggle), so no base address is needed here and -3010 never occurs.
int TKvdBaseDispatcher::PutBlock(const void* buffer, uint32_t length) {
    if (length == 0) {
        return 0;
    }
    if (buffer == nullptr) {
        return ecBadArgument;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int result = 0;
    uint32_t written = 0;
    {
        TCriticalSectionGuard guard(outputLock);
        if (outBuffer == nullptr) {
            return ecNotOpen;
        }
        const uint32_t free = OutputFree(*this);
        if (length > free || length > INT32_MAX) {
            return ecOutputBufferTooSmall;
        }
        int n = WriteCom(bytes, static_cast<int>(length));
        if (n <= 0) {
            written = static_cast<uint32_t>(-static_cast<int64_t>(n));
            RefreshOutputStatus();
            result = ecPutBlockFail;
        } else {
            written = static_cast<uint32_t>(n);
            // Marked only once the bytes are in: a ring flagged full around a refused write
            // would send its stale contents.
            outFull = written == free;
            // The device layer may have sent them at once, leaving the ring empty.
            if (OutputRingUsed() > 0) {
                outputEmptySignal.Reset();
            }
        }
        outputSentFlag = true;
        sentSinceTxWait = true;
    }
    written = std::min(written, length);
    LogDispatchEntry(dtDispatch, dstWriteCom, written, written > 0 ? bytes : nullptr, written);
    TraceBytes(*this, 'T', bytes, written);
    return result;
}

void TKvdBaseDispatcher::AddStringToLog(const std::string& text) {
    const auto length = static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX));
    LogDispatchEntry(dtUser, dstNone, 0, text.data(), length);
}

uint32_t TKvdBaseDispatcher::OutBuffUsed() {
    TCriticalSectionGuard guard(outputLock);
    if (outBuffer == nullptr) {
        return 0;
    }
    return RefreshOutputStatus().cbOutQue;
}

uint32_t TKvdBaseDispatcher::OutBuffFree() {
    TCriticalSectionGuard guard(outputLock);
    if (outBuffer == nullptr) {
        return 0;
    }
    return OutputFree(*this);
}

int TKvdBaseDispatcher::FlushOutBuffer() {
    if (deviceId < 0) {
        return ecNotOpen;
    }
    return FlushCom(0);
}

void TKvdBaseDispatcher::BufferSizes(uint32_t& inSize, uint32_t& outSize) {
    inSize = inQueueSize;
    outSize = outBufferSize;
}

uint32_t TKvdBaseDispatcher::OutputRingUsed() {
    TCriticalSectionGuard guard(outputLock);
    if (outBuffer == nullptr) {
        return 0;
    }
    return RingUsed(outHead, outTail, outFull, outBufferSize);
}

bool TKvdBaseDispatcher::StoreOutput(const uint8_t* buffer, uint32_t count) {
    if (buffer == nullptr && count != 0) {
        return false;
    }
    TCriticalSectionGuard guard(outputLock);
    if (outBuffer == nullptr || count > outBufferSize - OutputRingUsed()) {
        return false;
    }
    uint32_t spaceToEnd = outBufferSize - outHead;
    if (spaceToEnd < count) {
        std::copy_n(buffer, spaceToEnd, outBuffer + outHead);
        std::copy_n(buffer + spaceToEnd, count - spaceToEnd, outBuffer);
        outHead = count - spaceToEnd;
    } else {
        std::copy_n(buffer, count, outBuffer + outHead);
        outHead = spaceToEnd == count ? 0 : outHead + count;
    }
    return true;
}

void TKvdBaseDispatcher::AdvanceOutput(uint32_t count) {
    TCriticalSectionGuard guard(outputLock);
    if (outBuffer == nullptr || count == 0) {
        return;
    }
    outTail = (outTail + std::min(count, OutputRingUsed())) % outBufferSize;
    if (outTail == outHead) {
        outHead = 0;
        outTail = 0;
        outputEmptySignal.Set();
    }
    outFull = false;
}

void TKvdBaseDispatcher::DiscardOutput() {
    TCriticalSectionGuard guard(outputLock);
    outFull = false;
    outHead = 0;
    outTail = 0;
    outputEmptySignal.Set();
}

// ---------------------------------------------------------------------------------------------
// Status

TComStat TKvdBaseDispatcher::RefreshStatus() {
    return ReadDeviceStatus(true);
}

TComStat TKvdBaseDispatcher::RefreshOutputStatus() {
    return ReadDeviceStatus(false);
}

TComStat TKvdBaseDispatcher::ReadDeviceStatus(bool withInputCount) {
    TComStat stat;
    uint32_t errors;
    {
        TCriticalSectionGuard guard(outputLock);
        if (withInputCount) {
            errors = static_cast<uint32_t>(GetComError(comStat));
        } else {
            const uint32_t inputCount = comStat.cbInQue;
            errors = static_cast<uint32_t>(GetComErrorWithoutInput(comStat));
            comStat.cbInQue = inputCount;
        }
        stat = comStat;
    }
    lineErrors |= errors & kAccumulatedLineErrors;
    return stat;
}

int TKvdBaseDispatcher::GetLineError() {
    TCriticalSectionGuard guard(mainLock);
    uint32_t errors = lineErrors;
    if (errors & kReportedLineErrors) {
        errors = lineErrors.fetch_and(~kReportedLineErrors);
    }
    if (errors & CE_RXOVER) {
        return 1;
    }
    if (errors & CE_OVERRUN) {
        return 2;
    }
    if (errors & CE_RXPARITY) {
        return 3;
    }
    if (errors & CE_FRAME) {
        return 4;
    }
    return (errors & CE_BREAK) ? 9 : 0;
}

bool TKvdBaseDispatcher::CheckLineBreak() {
    TCriticalSectionGuard guard(mainLock);
    return (lineErrors.fetch_and(~CE_BREAK) & CE_BREAK) != 0;
}

uint8_t TKvdBaseDispatcher::GetModemStatus() {
    return ReadModemStatus(*this, msLineStates);
}

bool TKvdBaseDispatcher::CheckCTS() {
    return ReadModemStatus(*this, ~msDeltaCts) & ms_CtsOn;
}

bool TKvdBaseDispatcher::CheckDSR() {
    return ReadModemStatus(*this, ~msDeltaDsr) & ms_DsrOn;
}

bool TKvdBaseDispatcher::CheckRI() {
    return ReadModemStatus(*this, ~msTrailingRing) & ms_RingOn;
}

bool TKvdBaseDispatcher::CheckDCD() {
    return ReadModemStatus(*this, ~msDeltaDcd) & ms_RlsdOn;
}

bool TKvdBaseDispatcher::CheckDeltaCTS() {
    return ReadModemStatus(*this, ~msDeltaCts) & msDeltaCts;
}

bool TKvdBaseDispatcher::CheckDeltaDSR() {
    return ReadModemStatus(*this, ~msDeltaDsr) & msDeltaDsr;
}

bool TKvdBaseDispatcher::CheckDeltaRI() {
    return ReadModemStatus(*this, ~msTrailingRing) & msTrailingRing;
}

bool TKvdBaseDispatcher::CheckDeltaDCD() {
    return ReadModemStatus(*this, ~msDeltaDcd) & msDeltaDcd;
}

void TKvdBaseDispatcher::MapEventsToMS(uint32_t) {
    TCriticalSectionGuard guard(mainLock);
    uint32_t before = modemStatus;
    uint32_t now = ReadModemStatus(*this, 0xFF);
    modemStatus |= ((before ^ now) & msLineStates) >> 4;
}

// ---------------------------------------------------------------------------------------------
// Modem lines and break

int TKvdBaseDispatcher::SetModem(bool dtr, bool rts) {
    int result = SetDtr(dtr);
    if (result == 0) {
        SetRts(rts);
    }
    return result;
}

int TKvdBaseDispatcher::SetDtr(bool on) {
    TCriticalSectionGuard guard(mainLock);
    if (dtrByFlow) {
        return 1;
    }
    int result = EscapeComFunction(on ? escSetDtr : escClrDtr);
    dtrOn = on;
    return result < 0 ? ecBadArgument : result;
}

int TKvdBaseDispatcher::SetRts(bool on) {
    TCriticalSectionGuard guard(mainLock);
    if (rtsByFlow) {
        return 1;
    }
    int result = EscapeComFunction(on ? escSetRts : escClrRts);
    rtsOn = on;
    return result < 0 ? ecBadArgument : result;
}

void TKvdBaseDispatcher::SendBreak(uint32_t ticks, bool yield) {
    SetComBreak(true);
    DelayTicks(static_cast<int32_t>(std::min<uint32_t>(ticks, INT32_MAX)), yield);
    SetComBreak(false);
}

void TKvdBaseDispatcher::SetBreak(bool on) {
    SetComBreak(on);
}

// ---------------------------------------------------------------------------------------------
// Flow control

int TKvdBaseDispatcher::HWFlowOptions(uint32_t bufferFull, uint32_t bufferResume,
                                      uint32_t options) {
    if (!ValidFlowMarks(*this, bufferFull, bufferResume)) {
        return ecBadArgument;
    }
    if (deviceId < 0) {
        return ecNotOpen;
    }
    TCriticalSectionGuard guard(mainLock);
    GetComState(deviceControl);
    uint32_t& flags = deviceControl.Flags;
    flags &= ~(dcb_OutxCtsFlow | dcb_OutxDsrFlow | dcb_DtrControlMask | dcb_RtsControlMask);
    dtrByFlow = (options & hwfUseDTR) != 0;
    rtsByFlow = (options & hwfUseRTS) != 0;
    if (dtrByFlow) {
        flags |= dcb_DtrControlHandshake;
    } else if (dtrOn) {
        flags |= dcb_DtrControlEnable;
    }
    if (rtsByFlow) {
        flags |= dcb_RtsControlHandshake;
    } else if (rtsOn) {
        flags |= dcb_RtsControlEnable;
    }
    // The serial driver raises RTS only while it transmits.
    if (rs485) {
        flags = (flags & ~dcb_RtsControlMask) | dcb_RtsControlToggle;
        rtsByFlow = true;
    }
    SetFlowLimits(*this, bufferFull, bufferResume);
    SetFlags(flags, dcb_OutxDsrFlow, options & hwfRequireDSR);
    SetFlags(flags, dcb_OutxCtsFlow, options & hwfRequireCTS);
    return SetCommStateFix(deviceControl);
}

// Output held for CTS or DSR shows whenever output waits on that line, whether or not this
// side drives its own lines by handshake.
int TKvdBaseDispatcher::HWFlowState() {
    TCriticalSectionGuard guard(mainLock);
    if (deviceId >= 0) {
        GetComState(deviceControl);
    }
    uint32_t flags = deviceControl.Flags;
    bool waitsForDsr = flags & dcb_OutxDsrFlow;
    bool waitsForCts = flags & dcb_OutxCtsFlow;
    bool handshake = (flags & dcb_DtrControlMask) == dcb_DtrControlHandshake ||
                     (flags & dcb_RtsControlMask) == dcb_RtsControlHandshake;
    if (!waitsForDsr && !waitsForCts && !handshake) {
        return fsOff;
    }
    TComStat stat = RefreshOutputStatus();
    if (waitsForCts && (stat.Flags & comstat_CtsHold)) {
        return fsCtsHold;
    }
    if (waitsForDsr && (stat.Flags & comstat_DsrHold)) {
        return fsDsrHold;
    }
    return fsOn;
}

int TKvdBaseDispatcher::SWFlowEnable(uint32_t bufferFull, uint32_t bufferResume, uint32_t options) {
    if (!ValidFlowMarks(*this, bufferFull, bufferResume)) {
        return ecBadArgument;
    }
    if (deviceId < 0) {
        return ecNotOpen;
    }
    TCriticalSectionGuard guard(mainLock);
    GetComState(deviceControl);
    // A direction that is not asked for is switched off, also when an earlier call enabled it.
    SetFlags(deviceControl.Flags, dcb_InX, options & sfReceiveFlow);
    SetFlags(deviceControl.Flags, dcb_OutX, options & sfTransmitFlow);
    if (options & sfReceiveFlow) {
        SetFlowLimits(*this, bufferFull, bufferResume);
    }
    if (options & (sfReceiveFlow | sfTransmitFlow)) {
        SetFlowChars(deviceControl, kXonChar, kXoffChar);
    }
    return SetCommStateFix(deviceControl);
}

int TKvdBaseDispatcher::SWFlowDisable() {
    if (deviceId < 0) {
        return ecNotOpen;
    }
    TCriticalSectionGuard guard(mainLock);
    GetComState(deviceControl);
    deviceControl.Flags &= ~(dcb_InX | dcb_OutX);
    return SetCommStateFix(deviceControl);
}

int TKvdBaseDispatcher::SWFlowState() {
    TCriticalSectionGuard guard(mainLock);
    if (deviceId >= 0) {
        GetComState(deviceControl);
    }
    if ((deviceControl.Flags & (dcb_InX | dcb_OutX)) == 0) {
        return fsOff;
    }
    TComStat stat = RefreshOutputStatus();
    bool xoffSent = stat.Flags & comstat_XoffSent;
    bool outputHeld = stat.Flags & comstat_XoffHold;
    if (xoffSent) {
        return outputHeld ? fsXBothHold : fsXInHold;
    }
    return outputHeld ? fsXOutHold : fsOn;
}

int TKvdBaseDispatcher::SWFlowChars(char on, char off) {
    if (deviceId < 0) {
        return ecNotOpen;
    }
    TCriticalSectionGuard guard(mainLock);
    GetComState(deviceControl);
    SetFlowChars(deviceControl, on, off);
    return SetCommStateFix(deviceControl);
}

int TKvdBaseDispatcher::GetFlowOptions(uint32_t& hwOptions, uint32_t& swOptions,
                                       uint32_t& /*bufferFull*/, uint32_t& /*bufferResume*/,
                                       char& onChar, char& offChar) {
    hwOptions = 0;
    swOptions = 0;
    TCriticalSectionGuard guard(mainLock);
    int result = GetComState(deviceControl);
    uint32_t flags = deviceControl.Flags;
    if ((flags & dcb_DtrControlMask) == dcb_DtrControlHandshake) {
        hwOptions |= hwfUseDTR;
    }
    if ((flags & dcb_RtsControlMask) == dcb_RtsControlHandshake) {
        hwOptions |= hwfUseRTS;
    }
    if (flags & dcb_OutxDsrFlow) {
        hwOptions |= hwfRequireDSR;
    }
    if (flags & dcb_OutxCtsFlow) {
        hwOptions |= hwfRequireCTS;
    }
    if (flags & dcb_InX) {
        swOptions |= sfReceiveFlow;
    }
    if (flags & dcb_OutX) {
        swOptions |= sfTransmitFlow;
    }
    onChar = deviceControl.XonChar;
    offChar = deviceControl.XoffChar;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Caller data, options, base address

int TKvdBaseDispatcher::SetDataPointer(void* pointer, uint32_t index) {
    if (index < 1 || index > 3) {
        return ecBadArgument;
    }
    TCriticalSectionGuard guard(mainLock);
    dataPointers[index - 1] = pointer;
    return 0;
}

int TKvdBaseDispatcher::GetDataPointer(void*& pointer, uint32_t index) {
    if (index < 1 || index > 3) {
        return ecBadArgument;
    }
    TCriticalSectionGuard guard(mainLock);
    pointer = dataPointers[index - 1];
    return 0;
}

void TKvdBaseDispatcher::OptionsOn(uint32_t mask) {
    TCriticalSectionGuard guard(mainLock);
    options |= mask;
}

void TKvdBaseDispatcher::OptionsOff(uint32_t mask) {
    TCriticalSectionGuard guard(mainLock);
    options &= ~mask;
}

bool TKvdBaseDispatcher::OptionsAreOn(uint32_t mask) {
    TCriticalSectionGuard guard(mainLock);
    return (options & mask) == mask;
}

void TKvdBaseDispatcher::SetBaseAddress(uint16_t address) {
    TCriticalSectionGuard guard(mainLock);
    portBase = address;
}

uint16_t TKvdBaseDispatcher::GetBaseAddress() {
    return portBase;
}

} // namespace kivo
