// Unit Kwuser, core: construction and destruction, the port list, opening and closing a port,
// line settings, and the device operations a device layer must provide.
#include "comm/dispatch/kwuser.h"
#include "comm/errors/kvexcept.h"

#include "comm/platform/clock.h"
#include "comm/platform/framework.h"
#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"

#include <algorithm>
#include <array>
#include <new>

namespace kivo {

namespace {

// SetLine's keep-current values.
constexpr uint32_t kKeepParity = 5;
constexpr int8_t kKeepDataBits = 9;
constexpr int8_t kKeepStopBits = 3;

// The longest WaitTxSent waits for the output ring to drain.
constexpr uint32_t kTxDrainLimitMs = 10000;

struct TPortList {
    TCriticalSection lock;
    std::vector<TKvdBaseDispatcher*> entries;
    int32_t cachedHandle = -1;
    TKvdBaseDispatcher* cachedDispatcher = nullptr;
};

// Dispatchers may be destroyed while the program shuts down, after ordinary statics are gone,
// so the list lives for the whole process. A fork copies the lock as it stands, possibly held by
// a thread that does not come along: it is taken around the fork, and a child starts with a new
// one (the copy would count the parent's thread as its holder).
TPortList& PortList() {
    static TPortList& list = *[] {
        auto* made = new TPortList;
        AroundEveryFork([] { PortList().lock.Enter(); }, [] { PortList().lock.Leave(); },
                        [] { new (&PortList().lock) TCriticalSection; });
        return made;
    }();
    return list;
}

class TPortListGuard {
public:
    TPortListGuard() { LockPortList(); }
    ~TPortListGuard() { UnlockPortList(); }
    TPortListGuard(const TPortListGuard&) = delete;
    TPortListGuard& operator=(const TPortListGuard&) = delete;
};

int32_t RegisterInPortList(TKvdBaseDispatcher* dispatcher) {
    auto& entries = PortList().entries;
    auto freeSlot = std::find(entries.begin(), entries.end(), nullptr);
    if (freeSlot != entries.end()) {
        *freeSlot = dispatcher;
        return static_cast<int32_t>(freeSlot - entries.begin());
    }
    entries.push_back(dispatcher);
    return static_cast<int32_t>(entries.size() - 1);
}

void UnregisterFromPortList(TKvdBaseDispatcher* dispatcher) {
    TPortList& list = PortList();
    std::replace(list.entries.begin(), list.entries.end(), dispatcher,
                 static_cast<TKvdBaseDispatcher*>(nullptr));
    while (!list.entries.empty() && list.entries.back() == nullptr) {
        list.entries.pop_back();
    }
    if (list.cachedDispatcher == dispatcher) {
        list.cachedHandle = -1;
        list.cachedDispatcher = nullptr;
    }
}

bool IsOfClass(TKvdBaseDispatcher* dispatcher, bool (*isClass)(TKvdBaseDispatcher*)) {
    return isClass == nullptr || isClass(dispatcher);
}

// A platform error as a result code. A failure whose platform code went missing must still
// read as a failure, never as success.
int NegatedPlatformError(int platformError) {
    return platformError > 0 ? -platformError : -kPlatformGeneralFailure;
}

std::array<TEvent**, 6> Signals(TKvdBaseDispatcher& d) {
    return {&d.commEventSignal,   &d.dispatchDoneSignal, &d.ackSignal,
            &d.outputReadySignal, &d.writeDoneSignal,    &d.outputFlushSignal};
}

void DeleteSignals(TKvdBaseDispatcher& d) {
    for (TEvent** signal : Signals(d)) {
        delete *signal;
        *signal = nullptr;
    }
}

// Every signal auto-reset except the event of the write thread's request.
void CreateSignals(TKvdBaseDispatcher& d) {
    DeleteSignals(d);
    for (TEvent** signal : Signals(d)) {
        *signal = new TEvent(signal == &d.writeDoneSignal, false);
    }
}

void FreeRings(TKvdBaseDispatcher& d) {
    TCriticalSectionGuard input(d.inputLock);
    TCriticalSectionGuard output(d.outputLock);
    delete[] d.outBuffer;
    delete[] d.inBuffer;
    d.outBuffer = nullptr;
    d.inBuffer = nullptr;
    // Nothing is left to drain.
    d.outputEmptySignal.Set();
}

TThreadPriority BoostedPriority(uint8_t boost, int extra) {
    int level = tpNormal + boost + extra;
    return static_cast<TThreadPriority>(std::min<int>(level, tpTimeCritical));
}

void SetThreadPriority(TKvdDispatcherThread* thread, TThreadPriority priority) {
    if (thread != nullptr) {
        thread->SetPriority(priority);
    }
}

void SetLineControl(uint32_t& flags, uint32_t mask, uint32_t value) {
    flags = (flags & ~mask) | value;
}

bool ClearIfSame(std::atomic<TKvdDispatcherThread*>& field, TKvdDispatcherThread* thread) {
    return thread != nullptr && field.compare_exchange_strong(thread, nullptr);
}

struct TLineValues {
    uint32_t baud;
    uint8_t parity;
    uint8_t dataBits;
    uint8_t stopCode;
};

bool ValidLineArguments(int32_t baud, uint32_t parity, int8_t dataBits) {
    return baud >= 0 && parity <= kKeepParity && dataBits >= 5 && dataBits <= kKeepDataBits;
}

// The settings SetLine asks for, with the keep-current values filled in from the device's.
TLineValues ResolveLine(const TDCB& current, int32_t baud, uint32_t parity, int8_t dataBits,
                        int8_t stopBits) {
    TLineValues line;
    line.baud = baud == 0 ? current.BaudRate : static_cast<uint32_t>(baud);
    line.parity = parity == kKeepParity ? current.Parity : static_cast<uint8_t>(parity);
    line.dataBits = dataBits == kKeepDataBits ? current.ByteSize : static_cast<uint8_t>(dataBits);
    line.stopCode = current.StopBits;
    if (stopBits != kKeepStopBits) {
        line.stopCode = stopBits <= 1 ? dcbStopBitsOne : dcbStopBitsTwo;
    }
    // Five data bits pair with one and a half stop bits on these UARTs.
    if (line.dataBits == 5) {
        line.stopCode = dcbStopBitsOneHalf;
    }
    return line;
}

bool SameLine(const TDCB& current, const TLineValues& line) {
    return current.BaudRate == line.baud && current.Parity == line.parity &&
           current.ByteSize == line.dataBits && current.StopBits == line.stopCode;
}

void StoreLine(TDCB& dcb, const TLineValues& line) {
    dcb.BaudRate = line.baud;
    dcb.Parity = line.parity;
    dcb.ByteSize = line.dataBits;
    dcb.StopBits = line.stopCode;
}

int AllocateRings(TKvdBaseDispatcher& d, uint32_t inSize, uint32_t outSize) {
    TCriticalSectionGuard input(d.inputLock);
    TCriticalSectionGuard output(d.outputLock);
    try {
        d.inBuffer = new uint8_t[InBufferSize]();
        d.outBuffer = new uint8_t[outSize]();
    } catch (const std::bad_alloc&) {
        delete[] d.inBuffer;
        d.inBuffer = nullptr;
        return ecInsufficientMemory;
    }
    d.outHead = 0;
    d.outTail = 0;
    d.outFull = false;
    d.outputEmptySignal.Set();
    d.inQueueSize = inSize;
    d.outBufferSize = outSize;
    return 0;
}

// Everything InitPort does once the device and the rings are there.
int StartPort(TKvdBaseDispatcher& d, int32_t baud, uint32_t parity, int8_t dataBits,
              int8_t stopBits, bool dtr, bool rts) {
    d.lineErrors = 0;
    d.outputSentFlag = false;
    d.sentSinceTxWait = false;
    d.closePending = false;
    d.notifyWindow = 0;
    d.inputFull = false;
    d.handlerRead = 0;
    d.rs485 = false;
    d.portBase = 0;
    {
        TCriticalSectionGuard guard(d.mainLock);
        d.GetComState(d.deviceControl);
    }
    d.SetDtr(dtr);
    d.SetRts(rts);

    d.scanPos = 0;
    d.RemoveAllTriggers();
    d.inHead = 0;
    d.inTail = 0;
    d.inTakenCount = 0;
    d.scanCount = 0;
    d.availNotifyCount = 0;
    d.ResetStatusHits();
    d.inDataNotify = false;
    d.modemStatus = 0;
    d.GetModemStatus();

    d.currentBaud = 115200;
    int result = d.SetLine(baud, parity, dataBits, stopBits);
    if (result != 0) {
        return result;
    }
    d.RefreshStatus();
    d.AbortTracing();
    d.logTimeBase = KvTimeGetTime();
    d.AbortDispatchLogging();
    try {
        d.StartDispatcher();
    } catch (const EOutOfMemory&) {
        return ecInsufficientMemory; // the threads the system gave have ended again
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The port list

void LockPortList() {
    PortList().lock.Enter();
}

void UnlockPortList() {
    PortList().lock.Leave();
}

TKvdBaseDispatcher* PortListEntry(int32_t portHandle) {
    const auto& entries = PortList().entries;
    if (portHandle < 0 || static_cast<size_t>(portHandle) >= entries.size()) {
        return nullptr;
    }
    return entries[static_cast<size_t>(portHandle)];
}

int32_t PortListCount() {
    TPortListGuard guard;
    return static_cast<int32_t>(PortList().entries.size());
}

TKvdBaseDispatcher* GetTComRecPtr(int32_t deviceHandle, bool (*isClass)(TKvdBaseDispatcher*)) {
    if (deviceHandle < 0) {
        return nullptr;
    }
    TPortListGuard guard;
    TPortList& list = PortList();
    // Device handles are reused once a device is closed, so the cached entry only counts while
    // its dispatcher still holds that device.
    TKvdBaseDispatcher* cached = list.cachedDispatcher;
    if (cached != nullptr && list.cachedHandle == deviceHandle &&
        cached->deviceId == deviceHandle && IsOfClass(cached, isClass)) {
        return cached;
    }
    for (TKvdBaseDispatcher* dispatcher : list.entries) {
        if (dispatcher != nullptr && dispatcher->deviceId == deviceHandle &&
            IsOfClass(dispatcher, isClass)) {
            list.cachedHandle = deviceHandle;
            list.cachedDispatcher = dispatcher;
            return dispatcher;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TKvdBaseDispatcher::TKvdBaseDispatcher(TComponent* owner) : owner(owner) {
    TPortListGuard guard;
    portHandle = RegisterInPortList(this);
}

TKvdBaseDispatcher::~TKvdBaseDispatcher() {
    if (InheritedFromParent()) {
        // A child forked after the open: the threads did not come along and may have left the
        // rings' locks taken, and the signals still count the parent's threads waiting.
        delete[] outBuffer;
        delete[] inBuffer;
    } else {
        FreeRings(*this);
        DeleteSignals(*this);
    }
    TPortListGuard guard;
    UnregisterFromPortList(this);
}

void TKvdBaseDispatcher::CloseOnDestroy() {
    if (closePending && !InheritedFromParent()) {
        DonePortPrim();
    } else {
        DonePort();
    }
}

// ---------------------------------------------------------------------------------------------
// Device operations a device layer provides

int TKvdBaseDispatcher::EscapeComFunction(int) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::FlushCom(int) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::GetComError(TComStat&) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::GetComErrorWithoutInput(TComStat& stat) {
    return GetComError(stat);
}
int TKvdBaseDispatcher::GetComEventMask(int) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::GetComState(TDCB&) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::ReadCom(uint8_t*, int) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::SetComState(TDCB&) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::WriteCom(const uint8_t*, int) {
    throw EAbstractError();
}
bool TKvdBaseDispatcher::WaitComEvent(uint32_t&, void*) {
    throw EAbstractError();
}
bool TKvdBaseDispatcher::SetupCom(int, int) {
    throw EAbstractError();
}
void TKvdBaseDispatcher::StartDispatcher() {
    throw EAbstractError();
}
void TKvdBaseDispatcher::StopDispatcher() {
    throw EAbstractError();
}
int TKvdBaseDispatcher::OpenCom(const char*, uint32_t, uint32_t) {
    throw EAbstractError();
}
int TKvdBaseDispatcher::CloseCom() {
    throw EAbstractError();
}
int TKvdBaseDispatcher::ProcessCommunications() {
    throw EAbstractError();
}

bool TKvdBaseDispatcher::GetComModemStatus(uint32_t& status) {
    return SerialGetModemStatus(deviceId, status) == 0;
}

bool TKvdBaseDispatcher::SetComBreak(bool on) {
    return SerialSetBreak(deviceId, on) == 0;
}

int TKvdBaseDispatcher::LastPlatformError() const {
    return SerialLastError();
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int TKvdBaseDispatcher::InitPort(const char* name, int32_t baud, uint32_t parity, int8_t dataBits,
                                 int8_t stopBits, uint32_t inSize, uint32_t outSize, bool dtr,
                                 bool rts) {
    if (name == nullptr || baud < 0 || parity > 4 || dataBits < 5 || dataBits > 8) {
        return ecBadArgument;
    }
    if (deviceId >= 0 || inBuffer != nullptr || outBuffer != nullptr) {
        return ecAlreadyOpen;
    }
    ringEdge = false;
    {
        TCriticalSectionGuard guard(mainLock);
        notifying = false;
        busyHeld = false;
        notifyBusy = false;
    }
    CreateSignals(*this);

    openedInProcess = CurrentProcessId();
    int result = OpenCom(name, inSize, outSize);
    deviceId = result;
    if (result < 0) {
        result =
            result == ecInsufficientMemory ? result : NegatedPlatformError(LastPlatformError());
        DonePort();
        return result;
    }
    result = SetCommBuffers(inSize, outSize);
    if (result == 0) {
        result = AllocateRings(*this, inSize, outSize);
    }
    if (result == 0) {
        result = StartPort(*this, baud, parity, dataBits, stopBits, dtr, rts);
    }
    if (result != 0) {
        DonePort();
    }
    return result;
}

int TKvdBaseDispatcher::InitSocket(uint32_t, uint32_t) {
    return ecNotSupported;
}

int TKvdBaseDispatcher::SetCommBuffers(uint32_t inSize, uint32_t outSize) {
    if (SetupCom(static_cast<int>(std::min<uint32_t>(inSize, INT32_MAX)),
                 static_cast<int>(std::min<uint32_t>(outSize, INT32_MAX)))) {
        return 0;
    }
    return NegatedPlatformError(LastPlatformError());
}

void TKvdBaseDispatcher::DonePort() {
    if (InheritedFromParent()) {
        // Forked after the open: the threads did not come along, and the line is the parent's.
        ReleaseInheritedDevice();
        deviceId = -1;
        threadsActive = false;
        threadsAlive = 0;
        return;
    }
    if (deviceId >= 0) {
        FlushCom(0);
        FlushInBuffer();
        CloseCom();
    }
    if (notifyBusy) {
        // The notification in progress still reads the rings; the dispatch thread finishes
        // the close when it ends.
        closePending = true;
        return;
    }
    DonePortPrim();
}

bool TKvdBaseDispatcher::InheritedFromParent() const {
    return openedInProcess != 0 && openedInProcess != CurrentProcessId();
}

void TKvdBaseDispatcher::ReleaseInheritedDevice() {}

void TKvdBaseDispatcher::DonePortPrim() {
    if (threadsActive) {
        StopDispatcher();
    }
    FreeRings(*this);
}

// ---------------------------------------------------------------------------------------------
// Line settings

int TKvdBaseDispatcher::SetLine(int32_t baud, uint32_t parity, int8_t dataBits, int8_t stopBits) {
    if (!ValidLineArguments(baud, parity, dataBits)) {
        return ecBadArgument;
    }
    if (deviceId < 0) {
        return ecNotOpen;
    }
    {
        TCriticalSectionGuard guard(mainLock);
        GetComState(deviceControl);
        if (SameLine(deviceControl, ResolveLine(deviceControl, baud, parity, dataBits, stopBits))) {
            return 0;
        }
    }
    // Without mainLock while the output drains, so that writers can go on queueing.
    WaitTxSent();
    TCriticalSectionGuard guard(mainLock);
    GetComState(deviceControl);
    StoreLine(deviceControl, ResolveLine(deviceControl, baud, parity, dataBits, stopBits));
    return SetCommStateFix(deviceControl);
}

int TKvdBaseDispatcher::ChangeBaud(int32_t baud) {
    return SetLine(baud, kKeepParity, kKeepDataBits, kKeepStopBits);
}

void TKvdBaseDispatcher::GetLine(int32_t& baud, uint16_t& parity, int8_t& dataBits,
                                 int8_t& stopBits) {
    TCriticalSectionGuard guard(mainLock);
    if (deviceId >= 0) {
        GetComState(deviceControl);
    }
    baud = static_cast<int32_t>(TranslateBaud(deviceControl.BaudRate));
    parity = deviceControl.Parity;
    dataBits = static_cast<int8_t>(deviceControl.ByteSize);
    stopBits = deviceControl.StopBits == dcbStopBitsOne ? 1 : 2;
}

uint32_t TKvdBaseDispatcher::TranslateBaud(uint32_t baudOrCode) {
    switch (baudOrCode) {
    case 0xFEFF:
        return 115200;
    case 0xFF10:
        return 110;
    case 0xFF11:
        return 300;
    case 0xFF12:
        return 600;
    case 0xFF13:
        return 1200;
    case 0xFF14:
        return 2400;
    case 0xFF15:
        return 4800;
    case 0xFF16:
        return 9600;
    case 0xFF17:
        return 14400;
    case 0xFF18:
        return 19200;
    case 0xFF1B:
        return 38400;
    case 0xFF1F:
        return 56000;
    case 0xFF23:
        return 128000;
    case 0xFF27:
        return 256000;
    default:
        return baudOrCode;
    }
}

uint32_t TKvdBaseDispatcher::TxSentDelay(const TDCB& dcb) {
    uint32_t baud = TranslateBaud(dcb.BaudRate);
    if (baud == 0) {
        return 0;
    }
    uint64_t bits = uint64_t{dcb.ByteSize} + 2 + (dcb.Parity != dcbParityNone ? 1 : 0) +
                    (dcb.StopBits != dcbStopBitsOne ? 1 : 0);
    // Tenths of a microsecond per bit, times the bits of 18 characters.
    uint64_t t = (10000000 / baud) * bits * 18;
    if (t < 10000) {
        t *= 2;
    }
    return static_cast<uint32_t>((t + 9999) / 10000);
}

// The pause for the UART is spent only when something was sent since the last one: opening a
// port changes the rate before anything has gone out, and a device left at 300 baud would
// otherwise hold that open up for 0.6 s.
void TKvdBaseDispatcher::WaitTxSent() {
    outputEmptySignal.Wait(kTxDrainLimitMs);
    if (!sentSinceTxWait.exchange(false)) {
        return;
    }
    TDCB dcb;
    {
        TCriticalSectionGuard guard(mainLock);
        if (deviceId >= 0) {
            GetComState(deviceControl);
        }
        dcb = deviceControl;
    }
    Sleep(TxSentDelay(dcb));
}

int TKvdBaseDispatcher::SetCommStateFix(TDCB& dcb) {
    TCriticalSectionGuard guard(mainLock);
    if (!dtrByFlow) {
        SetLineControl(dcb.Flags, dcb_DtrControlMask, dtrOn ? dcb_DtrControlEnable : 0);
    }
    if (!rtsByFlow) {
        SetLineControl(dcb.Flags, dcb_RtsControlMask, rtsOn ? dcb_RtsControlEnable : 0);
    }
    int result = SetComState(dcb);
    // A refused block leaves the device at its old rate.
    if (result == 0) {
        currentBaud = dcb.BaudRate;
    }
    SetDtr(dtrOn);
    if (!rs485) {
        SetRts(rtsOn);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Threads

void TKvdBaseDispatcher::SetThreadBoost(uint8_t newBoost) {
    if (newBoost == boost) {
        return;
    }
    boost = newBoost;
    TCriticalSectionGuard guard(threadFieldsLock);
    SetThreadPriority(eventThread, BoostedPriority(boost, 0));
    SetThreadPriority(dispatchThread, BoostedPriority(boost, 0));
    SetThreadPriority(writeThread, BoostedPriority(boost, rs485 ? 1 : 0));
}

// The platform's driver toggles RTS by itself (see HWFlowOptions), so the write thread never
// polls the UART and no base address is read from the device.
void TKvdBaseDispatcher::SetRS485Mode(bool on) {
    TCriticalSectionGuard guard(mainLock);
    rs485 = on;
    TCriticalSectionGuard threadsGuard(threadFieldsLock);
    SetThreadPriority(writeThread, BoostedPriority(boost, on ? 1 : 0));
}

void TKvdBaseDispatcher::ThreadGone(TKvdDispatcherThread* thread) {
    bool dispatchThreadGone;
    {
        TCriticalSectionGuard guard(threadFieldsLock);
        ClearIfSame(eventThread, thread);
        ClearIfSame(writeThread, thread);
        dispatchThreadGone = ClearIfSame(dispatchThread, thread);
    }
    if (dispatchThreadGone && donePending) {
        DonePortPrim();
        donePending = false;
    }
    if (InterlockedDecrement(threadCount) <= 0) {
        threadsActive = false;
        HWND window = closeWhenThreadsGone.exchange(0);
        if (window != 0) {
            PostMessage(window, msgDeferredClose, 0, static_cast<LPARAM>(portHandle << 16));
        }
    }
}

void TKvdBaseDispatcher::NotifyInputArrived() {
    ThreadId waiter = inputWaiter.load();
    if (waiter != 0) {
        WakeThread(waiter);
    }
}

// The message wait cannot see the application's end: it looks for it at every tick.
bool TKvdBaseDispatcher::WaitForInput(uint32_t timeoutMs) {
    const TMsTimer timer(timeoutMs);
    for (;;) {
        if (WaitMessage(std::min(timer.Left(), kMillisecondsPerTick))) {
            return true;
        }
        if (timer.Left() == 0 || ApplicationTerminating()) {
            return false;
        }
    }
}

void TKvdBaseDispatcher::EndInputWaits() {}

void TKvdBaseDispatcher::TakeInputBack() {}

} // namespace kivo
