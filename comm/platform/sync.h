// Synchronisation: events that threads wait on (alone or two at a time), recursive critical
// sections, interlocked counters and a plain sleep. Every wait blocks; nothing polls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kivo {

// Time-out value of a wait that never times out.
constexpr uint32_t INFINITE = 0xFFFFFFFF;

// Results of a wait: the index of the event that ended it counts up from WAIT_OBJECT_0.
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF; // the event was closed or the arguments are bad

struct TEventWaiter;

// An event: set or not set. A waiter on a set auto-reset event takes the signal and resets it
// (one waiter per Set); a manual-reset event stays set and releases every waiter until Reset.
//
// Close ends every wait in progress with WAIT_FAILED and makes later waits fail at once, so a
// thread blocked on an event is never left hanging when its owner shuts down. The destructor
// closes the event and returns only after every waiter has left it (in a forked child, every
// waiter of the child: those of the parent's other threads stayed behind with them).
class TEvent {
public:
    explicit TEvent(bool manualReset = false, bool initiallySet = false);
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set();
    void Reset();
    void Close();
    bool IsClosed() const;

    // WAIT_OBJECT_0 when the event was (or became) set, WAIT_TIMEOUT, or WAIT_FAILED when closed.
    uint32_t Wait(uint32_t timeoutMs = INFINITE);

private:
    friend uint32_t WaitForAnyEvent(TEvent* const* events, size_t count, uint32_t timeoutMs);
    bool TryTake();
    void ForgetWaitersLeftBehind();

    const bool manualReset_;
    bool set_;
    bool closed_ = false;
    std::vector<TEventWaiter*> waiters_;
};

// The eventfd form of an event, for waits that poll descriptors: SignalEvent makes the
// descriptor readable, DrainEvent takes whatever was signalled (it never blocks on a
// non-blocking eventfd).
void SignalEvent(int eventFd);
void DrainEvent(int eventFd);

// Waits until one of the events is set: WAIT_OBJECT_0 + its index (the lowest index when
// several are set; only that one is taken), WAIT_TIMEOUT, or WAIT_FAILED when one of them is
// closed or the arguments are bad (no events, a null event).
uint32_t WaitForAnyEvent(TEvent* const* events, size_t count, uint32_t timeoutMs);

// The two-event form the dispatcher's threads use.
uint32_t WaitForEitherEvent(TEvent& first, TEvent& second, uint32_t timeoutMs);

// A lock with a signal that threads wait on under it, shared by the whole process and never
// destroyed (threads still running at exit find it intact). It stays usable in a forked child:
// the lock is taken around every fork, so that the child finds it free and what it guards whole,
// and the child gets a new signal, as the parent's may count waiters whose threads stayed behind.
struct TProcessLock {
    std::mutex lock;
    std::condition_variable signal;
};
TProcessLock& NewProcessLock();

// A lock that the thread holding it may enter again; every Enter needs its Leave.
class TCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a critical section for the lifetime of a scope.
class TCriticalSectionGuard {
public:
    explicit TCriticalSectionGuard(TCriticalSection& section) : section_(section) {
        section_.Enter();
    }
    ~TCriticalSectionGuard() { section_.Leave(); }
    TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
    TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

private:
    TCriticalSection& section_;
};

// Interlocked counters: the new value is returned, as the dispatcher's thread count needs it.
inline int32_t InterlockedIncrement(std::atomic<int32_t>& value) {
    return value.fetch_add(1, std::memory_order_acq_rel) + 1;
}
inline int32_t InterlockedDecrement(std::atomic<int32_t>& value) {
    return value.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

// Suspends the calling thread for the given milliseconds; 0 gives up the rest of its time slice.
void Sleep(uint32_t milliseconds);

} // namespace kivo
