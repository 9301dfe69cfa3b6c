// Unit Kwwin32: the device operations on the platform's serial device access, and the start
// and stop of the dispatcher threads.
#include "comm/dispatch/kwwin32.h"

#include "comm/dispatch/kwuser_threads.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/clock.h"
#include "comm/platform/framework.h"
#include "comm/platform/oserror.h"
#include "comm/platform/serial.h"

#include <algorithm>

namespace kivo {

namespace {

// The platform code a handed-over device reports when there is none.
constexpr int kPlatformNotOpen = 2007;

// How long StartDispatcher waits for each thread to confirm its start.
constexpr uint32_t kThreadStartMs = 3000;

// A waiting StopDispatcher is woken by every thread that ends; this only bounds the wait should
// a thread end between reading the stopper and being counted off.
constexpr uint32_t kStopPassMs = 20;

// Waits until `done`, handling the calling thread's messages meanwhile, so that a thread that
// is delivering a notification to this thread can finish.
template <typename Done>
void WaitHandlingMessages(Done done) {
    while (!done()) {
        SafeYield();
        if (done()) {
            return;
        }
        WaitMessage(kStopPassMs);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TKvdWin32Dispatcher. The serial calls already answer 0 or the negated platform code, which is
// what the device operations report.

TKvdWin32Dispatcher::TKvdWin32Dispatcher(TComponent* owner) : TKvdBaseDispatcher(owner) {}

TKvdWin32Dispatcher::~TKvdWin32Dispatcher() {
    CloseOnDestroy();
    if (InheritedFromParent()) {
        return; // the threads did not come along; their lock may have stayed taken
    }
    // A close deferred by a running notification leaves the threads to end by themselves; the
    // object must outlive them, also the last steps of their end.
    StopDispatcher();
    WaitHandlingMessages([this] { return threadsAlive <= 0; });
}

int TKvdWin32Dispatcher::EscapeComFunction(int function) {
    SerialEscape(device_, function);
    return 0;
}

int TKvdWin32Dispatcher::FlushCom(int queue) {
    const int32_t device = device_;
    if (queue == 1) {
        return SerialPurge(device, kPurgeInput);
    }
    if (queue != 0) {
        return ecBadArgument;
    }
    if (writeThread == nullptr) {
        return SerialPurge(device, kPurgeOutput);
    }
    // The cancel ends a write blocked on a peer that does not read; the write thread then
    // confirms that it has left the write before the ring is emptied under it. A stop or close
    // on another thread may end the write thread instead and reset ackSignal. Having confirmed,
    // the write thread takes no new run until the ring is empty and the cancel lifted, so that
    // it never writes bytes the flush dropped, nor new bytes that took their place.
    TCriticalSectionGuard flushing(flushLock_);
    {
        TCriticalSectionGuard output(outputLock);
        outputFlushing = true;
    }
    outputFlushSignal->Set();
    SerialCancelWrite(device);
    WaitForEitherEvent(*ackSignal, writeThreadGone, INFINITE);
    TCriticalSectionGuard output(outputLock);
    DiscardOutput();
    const int result = SerialPurge(device, kPurgeOutput);
    outputFlushing = false;
    return result;
}

int TKvdWin32Dispatcher::GetComError(TComStat& stat) {
    return ClearComError(stat, true);
}

// The input count is a system call of its own here, which the output side can do without.
int TKvdWin32Dispatcher::GetComErrorWithoutInput(TComStat& stat) {
    return ClearComError(stat, false);
}

int TKvdWin32Dispatcher::ClearComError(TComStat& stat, bool countInput) {
    uint32_t errors = 0; // stays 0 when the call fails
    SerialClearError(device_, errors, stat, countInput);
    // The driver reports a hang-up once; the line stays dead, so the mark stays.
    if (errors & CE_HANGUP) {
        lineErrors |= CE_HANGUP;
    }
    stat.cbOutQue = OutputRingUsed();
    return static_cast<int>(errors);
}

int TKvdWin32Dispatcher::GetComEventMask(int) {
    return 0;
}

int TKvdWin32Dispatcher::GetComState(TDCB& dcb) {
    return SerialGetState(device_, dcb) == 0 ? 0 : -1;
}

// A failed read (a closed device, a bad buffer) delivers nothing.
int TKvdWin32Dispatcher::ReadCom(uint8_t* buffer, int count) {
    return std::max(SerialRead(device_, buffer, count), 0);
}

int TKvdWin32Dispatcher::SetComState(TDCB& dcb) {
    return SerialSetState(device_, dcb);
}

int TKvdWin32Dispatcher::WriteCom(const uint8_t* buffer, int count) {
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    const auto length = static_cast<uint32_t>(count);
    TCriticalSectionGuard guard(outputLock);
    // An empty ring means that the write thread has no run on its way to the device, so the
    // bytes may go out from here at once, saving the write thread's wake-up on every short
    // request and answer. What the driver does not take now stays for the write thread. A
    // ring filled in one go is left to the write thread: it is told full by the caller.
    const bool direct = OutputRingUsed() == 0 && length < outBufferSize;
    if (!StoreOutput(buffer, length)) {
        return 0;
    }
    if (direct) {
        const int sent = SerialWriteNow(device_, buffer, count);
        if (sent > 0) {
            AdvanceOutput(static_cast<uint32_t>(sent));
        }
        if (sent == count) {
            return count;
        }
    }
    if (TEvent* ready = outputReadySignal) {
        ready->Set();
    }
    return count;
}

bool TKvdWin32Dispatcher::WaitComEvent(uint32_t& eventWord, void* request) {
    auto* record = static_cast<TCommEventRequest*>(request);
    eventWord = 0;
    const int result = SerialWaitEvent(device_, eventWord, record != nullptr ? -1 : 0);
    if (record != nullptr && result == -kSerialBadHandle) {
        record->deviceClosed = true;
    }
    // A device that hung up has lost its modem lines as well as its data.
    if (result == 0 && (eventWord & ev_Err) && SerialHungUp(device_)) {
        eventWord |= ev_Cts | ev_Dsr | ev_Rlsd;
    }
    return result == 0 && eventWord != 0;
}

bool TKvdWin32Dispatcher::SetupCom(int inSize, int outSize) {
    if (inSize < 0 || outSize < 0) {
        SetSerialLastError(kSerialBadArgument);
        return false;
    }
    return SerialSetupQueues(device_, static_cast<uint32_t>(inSize),
                             static_cast<uint32_t>(outSize)) == 0;
}

int TKvdWin32Dispatcher::ProcessCommunications() {
    Sleep(0);
    return 0;
}

// The reader is the first to know of arriving bytes and moves them into the ring itself; the
// dispatch thread, which does not hear of them from the event thread while a reader takes the
// input, is told only when triggers wait for them (a reader holding notifications off needs no
// checks). Its timed pass reads whatever the reader leaves.
bool TKvdWin32Dispatcher::WaitForInput(uint32_t timeoutMs) {
    const int32_t device = device_;
    if (device == 0) {
        return TKvdBaseDispatcher::WaitForInput(timeoutMs);
    }
    const TMsTimer timer(timeoutMs);
    for (;;) {
        // With no room for what the device holds, watching it would end every wait at once.
        const int wake = inputFull ? kNoPolledWait : BeginPolledWait();
        if (wake == kNoPolledWait) {
            return TKvdBaseDispatcher::WaitForInput(timer.Left());
        }
        if (wake == kMessagesWaiting) {
            return true;
        }
        WithdrawBeforeNextWait(static_cast<uintptr_t>(device));
        SerialReaderTakesInput(device, true);
        const int input = SerialWaitInput(device, wake, timer.Left());
        const bool woken = EndPolledWait();
        if (input > 0) {
            TEvent* check = commEventSignal;
            if (ExtractDataAsReader() && check != nullptr && !notifyBusy && ReceiveChecksArmed()) {
                check->Set();
            }
            return true;
        }
        // A wake-up already seen, or a hang-up, ends the poll without news: wait on.
        if (woken || input < 0 || timer.Left() == 0 || ApplicationTerminating()) {
            return woken;
        }
    }
}

// The reader usually waits again soon (the next answer of a dialogue): the input goes back to
// the event thread only when the reader's thread goes to sleep elsewhere, sparing the event
// thread a wake-up between two waits. A thread that never waits for messages again leaves it
// to the dispatch thread's next pass (TakeInputBack).
void TKvdWin32Dispatcher::EndInputWaits() {
    const int32_t device = device_;
    if (device != 0) {
        CallBeforeNextWait(static_cast<uintptr_t>(device),
                           [device] { SerialReaderTakesInput(device, false); });
    }
}

void TKvdWin32Dispatcher::TakeInputBack() {
    const int32_t device = device_;
    if (device != 0) {
        SerialReaderTakesInput(device, false);
    }
}

bool TKvdWin32Dispatcher::GetComModemStatus(uint32_t& status) {
    const int32_t device = device_;
    if (SerialHungUp(device)) {
        status = 0;
        return true;
    }
    return SerialGetModemStatus(device, status) == 0;
}

bool TKvdWin32Dispatcher::SetComBreak(bool on) {
    return SerialSetBreak(device_, on) == 0;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int TKvdWin32Dispatcher::OpenCom(const char* name, uint32_t, uint32_t) {
    if (name == nullptr) {
        SetSerialLastError(kSerialBadArgument);
        return -1;
    }
    const int32_t handle = SerialOpen(name);
    if (handle == -kPlatformNotEnoughMemory) {
        return ecInsufficientMemory; // the device opened, what ends its waits could not be made
    }
    if (handle < 0) {
        return -1; // the platform code stays this thread's last error
    }
    // A USB adapter otherwise holds received bytes back for several milliseconds.
    SerialSetLowLatency(handle, true);
    device_ = handle;
    return handle;
}

int TKvdWin32Dispatcher::CloseCom() {
    const int32_t device = device_;
    if (threadsActive) {
        stopThreads = true;
        SerialSetEventMask(device, 0);
        dispatchDoneSignal->Set();
        ackSignal->Reset();
    }
    if (SerialClose(device) != 0) {
        return -1;
    }
    device_ = 0;
    deviceId = -1;
    return 0;
}

void TKvdWin32Dispatcher::ReleaseInheritedDevice() {
    SerialClose(device_);
    device_ = 0;
}

// ---------------------------------------------------------------------------------------------
// The threads

// A thread the system refuses fails the start with EOutOfMemory, after the threads that did
// start have ended again.
void TKvdWin32Dispatcher::StartDispatcher() {
    bool started = false;
    {
        TCriticalSectionGuard guard(mainLock);
        if (threadsActive) {
            throw Exception("Dispatcher already started");
        }
        const int32_t device = device_;
        if (device <= 0 || ackSignal == nullptr) {
            CheckException(ecNotOpen);
        }
        threadsActive = true;
        stopThreads = false;
        eventsHandedOver = 0; // a new dispatch thread has taken none
        writeThreadGone.Reset();
        try {
            StartThread(eventThread, new TComThread(this, device));
            StartThread(dispatchThread, new TDispThread(this));
            StartThread(writeThread, new TOutThread(this, device));
            started = true;
        } catch (const std::exception&) {
        }
    }
    // mainLock is free again: the dispatch thread needs it to end.
    if (!started) {
        StopDispatcher();
        threadsActive = false; // no thread may have started that would clear it
        CheckException(ecInsufficientMemory);
    }
}

// The field is filled before the thread runs: a thread that ends at once clears it itself. A
// thread that cannot start is neither kept nor counted.
void TKvdWin32Dispatcher::StartThread(std::atomic<TKvdDispatcherThread*>& field,
                                      TKvdDispatcherThread* thread) {
    field = thread;
    ++threadsAlive;
    try {
        thread->Start();
    } catch (...) {
        field = nullptr;
        --threadsAlive;
        delete thread;
        throw;
    }
    ackSignal->Wait(kThreadStartMs);
}

void TKvdWin32Dispatcher::StopDispatcher() {
    const bool onDispatchThread = OnDispatcherThread(this);
    std::atomic<ThreadId>& waiter = stopWaiters[onDispatchThread ? 1 : 0];
    bool first = false;
    {
        TCriticalSectionGuard guard(mainLock);
        if (!threadsActive) {
            return;
        }
        waiter = GetCurrentThreadId();
        first = !stopping_.exchange(true);
        stopThreads = true;
    }
    // mainLock is not held while the threads end: the dispatch thread needs it to finish its
    // pass. A second stop meanwhile only waits with this one.
    if (first) {
        EndWriteThread();
        EndEventThread();
        commEventSignal->Set(); // the dispatch thread sees stopThreads now, not in 50 ms
    }
    WaitHandlingMessages([&] { return ThreadsGone(onDispatchThread); });
    waiter = 0;
    if (first) {
        stopping_ = false;
    }
}

void TKvdWin32Dispatcher::EndWriteThread() {
    if (writeThread == nullptr) {
        return;
    }
    outputFlushSignal->Set();
    SerialCancelWrite(device_);
    WaitHandlingMessages([this] { return writeThread == nullptr; });
}

void TKvdWin32Dispatcher::EndEventThread() {
    if (eventThread == nullptr) {
        return;
    }
    SerialSetEventMask(device_, 0);
    dispatchDoneSignal->Set();
    ackSignal->Reset();
    WaitHandlingMessages([this] { return eventThread == nullptr; });
}

// The dispatch thread stopping the others (it finishes a close as it ends) still counts itself.
bool TKvdWin32Dispatcher::ThreadsGone(bool onDispatchThread) const {
    if (onDispatchThread) {
        return writeThread == nullptr && eventThread == nullptr && threadsAlive <= 1;
    }
    return threadsAlive <= 0;
}

// ---------------------------------------------------------------------------------------------
// TKvdTAPI32Dispatcher

TKvdTAPI32Dispatcher::TKvdTAPI32Dispatcher(TComponent* owner, int32_t deviceHandle)
    : TKvdWin32Dispatcher(owner), handedOver_(deviceHandle) {}

int TKvdTAPI32Dispatcher::OpenCom(const char*, uint32_t, uint32_t) {
    if (handedOver_ <= 0) {
        SetSerialLastError(kPlatformNotOpen);
        return ecNotOpen;
    }
    device_ = handedOver_;
    return handedOver_;
}

} // namespace kivo
