// Unit Kwuser, threads: the event, dispatch and write threads of an open dispatcher.
//
// A received byte travels device -> event thread -> dispatch thread -> waiting reader with a
// direct wake-up at every step, unless the reader waits for the device itself (WaitForInput):
// it then takes the byte in directly and the two threads stay asleep. A queued byte goes to the
// device as soon as WriteCom wakes the write thread; the 50 ms pass of the dispatch thread is
// only for timers, status and input nobody took when nothing else happens.
#include "comm/dispatch/kwuser_threads.h"

#include "comm/platform/serial.h"

#include <algorithm>

namespace kivo {

namespace {

// The dispatcher the calling thread works for, if it is one of the three.
thread_local const TKvdBaseDispatcher* tServing = nullptr;

void CountIn(TKvdBaseDispatcher& d) {
    InterlockedIncrement(d.threadCount);
    tServing = &d;
}

constexpr uint32_t kModemEvents = ev_Cts | ev_Dsr | ev_Rlsd | ev_Ring | ev_RingTe;
constexpr uint32_t kLineEvents = ev_Break | ev_Err;

} // namespace

bool OnDispatcherThread(const TKvdBaseDispatcher* dispatcher) {
    return dispatcher != nullptr && tServing == dispatcher;
}

// ---------------------------------------------------------------------------------------------
// The common base

TKvdDispatcherThread::TKvdDispatcherThread(TKvdBaseDispatcher* owner) : dispatcher(owner) {
    SetFreeOnTerminate(true);
}

void TKvdDispatcherThread::Sync(const std::function<void()>& method) {
    Synchronize(method);
}

void TKvdDispatcherThread::SyncNotify(uint32_t message, uint32_t trigger, int32_t data,
                                      TTriggerMethod event) {
    notifyMsg = message;
    notifyTrigger = trigger;
    notifyData = data;
    notifyEvent = event;
    Sync([this] { SyncEvent(); });
}

void TKvdDispatcherThread::SyncEvent() {
    if (notifyEvent) {
        notifyEvent(notifyMsg, notifyTrigger, notifyData);
    }
}

// Runs however Execute ended, an exception included.
void TKvdDispatcherThread::DoTerminate() {
    // Read first: once the last thread has counted itself off the dispatcher may be destroyed.
    const ThreadId outsideStopper = dispatcher->stopWaiters[0];
    const ThreadId dispatchStopper = dispatcher->stopWaiters[1];
    TKvdBaseDispatcher& d = *dispatcher;
    d.ThreadGone(this);
    tServing = nullptr;
    d.threadsAlive.fetch_sub(1); // from here on the dispatcher may be destroyed
    for (ThreadId stopper : {outsideStopper, dispatchStopper}) {
        if (stopper != 0) {
            WakeThread(stopper);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The event thread

TComThread::TComThread(TKvdBaseDispatcher* owner, int32_t device)
    : TKvdDispatcherThread(owner), device_(device) {}

void TComThread::Execute() {
    TKvdBaseDispatcher& d = *dispatcher;
    CountIn(d);
    SerialSetEventMask(device_, DispatcherEventMask);
    d.ackSignal->Set();
    for (;;) {
        TCommEventRequest request;
        uint32_t events = 0;
        if (d.WaitComEvent(events, &request)) {
            d.eventWord = events;
            if (events & (ev_Ring | ev_RingTe)) {
                d.ringEdge = true;
            }
        }
        if (request.deviceClosed || d.stopThreads) {
            break;
        }
        ++d.eventsHandedOver;
        d.commEventSignal->Set();
        // Lock step: the driver's next event waits until the dispatch thread has seen this one.
        if (d.dispatchDoneSignal->Wait(INFINITE) == WAIT_FAILED || d.stopThreads) {
            break;
        }
    }
    d.ackSignal->Set();
}

// ---------------------------------------------------------------------------------------------
// The dispatch thread

void TDispThread::Execute() {
    TKvdBaseDispatcher& d = *dispatcher;
    CountIn(d);
    d.ackSignal->Set();
    do {
        if (d.commEventSignal->Wait(DispatchPassMs) == WAIT_FAILED || d.stopThreads) {
            return;
        }
        EventPass();
        TimerPass();
        if (d.inputWaiter == 0) {
            d.TakeInputBack(); // a reader that took the input itself has stopped waiting
        }
    } while (!d.stopThreads && !d.closePending);
    d.ackSignal->Set();
}

// A close that was deferred because a notification was running is finished here, once the
// notification has returned: ThreadGone then stops the other threads and frees the rings.
void TDispThread::DoTerminate() {
    TKvdBaseDispatcher& d = *dispatcher;
    d.donePending = d.closePending || d.stopThreads;
    TKvdDispatcherThread::DoTerminate();
}

void TDispThread::CheckStatusWhileFiring() {
    TKvdBaseDispatcher& d = *dispatcher;
    while (!d.closePending && d.CheckStatusTriggers()) {
    }
}

void TDispThread::CheckReceiveWhileFiring() {
    TKvdBaseDispatcher& d = *dispatcher;
    while (!d.closePending && d.CheckReceiveTriggers()) {
    }
}

void TDispThread::ResetStatusHitsIfHit() {
    TKvdBaseDispatcher& d = *dispatcher;
    if (d.statusHitFlag) {
        d.ResetStatusHits();
    }
}

// Bytes that arrive while the pass reads are taken in the same pass, up to a ring's worth, so
// that a stream is not handed over through the event thread a few bytes at a time. The device's
// count is asked first: the input ring stays free for the woken reader when nothing follows.
void TDispThread::ExtractWhileArriving() {
    TKvdBaseDispatcher& d = *dispatcher;
    uint32_t moved = 0;
    do {
        const uint32_t before = d.inHead;
        d.ExtractData();
        const uint32_t got = (d.inHead + InBufferSize - before) % InBufferSize;
        if (got == 0) {
            return;
        }
        moved += got;
    } while (moved < InBufferSize && d.RefreshStatus().cbInQue > 0);
}

// eventWord keeps the events of the last completed wait, so a pass that the 50 ms time-out
// started looks at them again.
void TDispThread::EventPass() {
    TKvdBaseDispatcher& d = *dispatcher;
    const uint32_t handedOver = d.eventsHandedOver;
    const uint32_t events = d.eventWord;
    if (events & kModemEvents) {
        d.MapEventsToMS(events);
        if (!d.notifyBusy) {
            CheckStatusWhileFiring();
            ResetStatusHitsIfHit();
        }
    }
    if (events & kLineEvents) {
        d.RefreshStatus();
        if (!d.notifyBusy) {
            CheckStatusWhileFiring();
        }
    }
    ExtractWhileArriving();
    if (!d.notifyBusy) {
        CheckStatusWhileFiring();
        CheckReceiveWhileFiring();
    }
    ResetStatusHitsIfHit();
    // Only a pass that has read a newly handed-over event word releases the event thread: one
    // that ran on the time-out or for a reader would leave the signal set for an event that has
    // not come yet, and the event thread would then overwrite that event before it is read.
    if (!d.closePending && handedOver != eventsTaken_) {
        eventsTaken_ = handedOver;
        d.dispatchDoneSignal->Set();
    }
}

void TDispThread::TimerPass() {
    TKvdBaseDispatcher& d = *dispatcher;
    if (d.closePending || d.notifyBusy) {
        return;
    }
    d.statusHitFlag = false;
    while (!d.closePending && (d.CheckStatusTriggers() || d.CheckTimerTriggers())) {
    }
    ResetStatusHitsIfHit();
}

// ---------------------------------------------------------------------------------------------
// The write thread

TOutThread::TOutThread(TKvdBaseDispatcher* owner, int32_t device)
    : TKvdDispatcherThread(owner), device_(device) {}

void TOutThread::Execute() {
    TKvdBaseDispatcher& d = *dispatcher;
    CountIn(d);
    d.ackSignal->Set();
    do {
        const uint32_t woke =
            WaitForEitherEvent(*d.outputReadySignal, *d.outputFlushSignal, INFINITE);
        if (woke == WAIT_OBJECT_0) {
            if (d.stopThreads) {
                break;
            }
            Drain();
        } else if (woke == WAIT_OBJECT_0 + 1) {
            d.ackSignal->Set(); // no write in progress: the flush may go on
        } else {
            break;
        }
    } while (!d.stopThreads && !d.closePending);
    // A flush that raced with the end must not wait for a confirmation that never comes.
    d.ackSignal->Set();
}

// However Execute ended, before the dispatcher may go.
void TOutThread::DoTerminate() {
    dispatcher->writeThreadGone.Set();
    TKvdDispatcherThread::DoTerminate();
}

void TOutThread::Drain() {
    TKvdBaseDispatcher& d = *dispatcher;
    uint32_t start = 0;
    uint32_t length = 0;
    while (NextRun(start, length)) {
        // The lock is not held while the device takes the bytes: PutBlock keeps adding behind
        // the run, and the rest of the run stays where it is. The ring is advanced past each
        // part the device takes, so that its count (OutBuffUsed, the out-free and out-used
        // triggers, a sender waiting for room) falls as the bytes leave, not only at the end.
        uint32_t advanced = 0;
        const int sent = SerialWrite(device_, d.outBuffer + start, static_cast<int32_t>(length),
                                     [&d, &advanced](int32_t part) {
                                         d.AdvanceOutput(static_cast<uint32_t>(part));
                                         advanced += static_cast<uint32_t>(part);
                                     });
        if (sent != static_cast<int>(length) && ConfirmFlush()) {
            return;
        }
        // A failed write drops the rest of its run, so that a dead device cannot stall the ring.
        d.AdvanceOutput(length - advanced);
    }
}

bool TOutThread::NextRun(uint32_t& start, uint32_t& length) {
    TKvdBaseDispatcher& d = *dispatcher;
    TCriticalSectionGuard guard(d.outputLock);
    const uint32_t head = d.outHead;
    const uint32_t tail = d.outTail;
    const uint32_t size = d.outBufferSize;
    // A run taken during a flush would be sent from a ring that the flush then empties and
    // refills: after the purge the device would get the new bytes out of order, some twice.
    if (d.outBuffer == nullptr || d.outputFlushing || (!d.outFull && head == tail)) {
        return false;
    }
    if (tail < head) {
        start = tail;
        length = head - tail;
    } else if (head != 0) {
        // Wrapped: rotate the ring so that the bytes from tail to the end come first, followed
        // by those from 0 to head; a full ring keeps head and tail together at 0.
        std::rotate(d.outBuffer, d.outBuffer + tail, d.outBuffer + size);
        start = 0;
        length = head + size - tail;
        d.outHead = length % size;
        d.outTail = 0;
    } else {
        start = tail;
        length = size - tail;
    }
    return true;
}

bool TOutThread::ConfirmFlush() {
    TKvdBaseDispatcher& d = *dispatcher;
    if (d.outputFlushSignal->Wait(0) != WAIT_OBJECT_0) {
        return false;
    }
    d.ackSignal->Set();
    return true;
}

} // namespace kivo
