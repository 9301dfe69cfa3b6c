// Unit Kwuser, threads: the three background threads of an open dispatcher.
//
//   - TComThread, the event thread, waits for the device's comm events and hands each one to
//     the dispatch thread (commEventSignal), then waits until the dispatch pass is over
//     (dispatchDoneSignal), so that the two run in lock step.
//   - TDispThread, the dispatch thread, moves arrived bytes into the input ring, keeps the
//     status shadows and checks the triggers, on every event and at least every 50 ms.
//   - TOutThread, the write thread, sends what the output ring holds as soon as WriteCom
//     queues it (outputReadySignal) and confirms flushes (outputFlushSignal, ackSignal).
//
// Each thread confirms its start through ackSignal, counts itself in threadCount, frees itself
// when it ends and reports the end through ThreadGone. Created by the device layer's
// StartDispatcher for the device it opened.
#pragma once

#include "comm/dispatch/kwuser.h"

#include <cstdint>

namespace kivo {

// The comm events the event thread asks the device for: received character, CTS, DSR and DCD
// changes, break, line error and ring.
constexpr uint32_t DispatcherEventMask =
    ev_RxChar | ev_Cts | ev_Dsr | ev_Rlsd | ev_Break | ev_Err | ev_Ring;

// The longest the dispatch thread waits for an event before it checks timers and status.
constexpr uint32_t DispatchPassMs = 50;

// The request record the event thread hands to WaitComEvent: a wait with a record blocks until
// the device reports an event, the event mask changes or the device is closed, and says which.
struct TCommEventRequest {
    bool deviceClosed = false;
};

class TComThread : public TKvdDispatcherThread {
public:
    TComThread(TKvdBaseDispatcher* owner, int32_t device);

protected:
    void Execute() override;

private:
    const int32_t device_;
};

class TDispThread : public TKvdDispatcherThread {
public:
    explicit TDispThread(TKvdBaseDispatcher* owner) : TKvdDispatcherThread(owner) {}

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    void EventPass();
    void TimerPass();
    void ExtractWhileArriving();
    // Runs the status-trigger check while it fires, stopping at once on a pending close.
    void CheckStatusWhileFiring();
    void CheckReceiveWhileFiring();
    void ResetStatusHitsIfHit();

    // The dispatcher's eventsHandedOver as the last pass that released the event thread read it.
    uint32_t eventsTaken_ = 0;
};

class TOutThread : public TKvdDispatcherThread {
public:
    TOutThread(TKvdBaseDispatcher* owner, int32_t device);

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    void Drain();
    // The next contiguous run of queued bytes, rotating a wrapped ring so that everything
    // queued leaves in one write; false when the ring is empty or gone.
    bool NextRun(uint32_t& start, uint32_t& length);
    // Whether the flush that ended a write early is pending; it is then confirmed.
    bool ConfirmFlush();

    const int32_t device_;
};

// Whether the calling thread is one of the dispatcher's threads.
bool OnDispatcherThread(const TKvdBaseDispatcher* dispatcher);

} // namespace kivo
