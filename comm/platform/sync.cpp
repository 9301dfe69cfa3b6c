#include "comm/platform/sync.h"

#include "comm/platform/thread.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <new>
#include <thread>

namespace kivo {

namespace {

// Every process lock, for the fork's handlers; the list's own lock is taken first.
struct TProcessLocks {
    std::mutex listLock;
    std::vector<TProcessLock*> all;
};

TProcessLocks& ProcessLocks() {
    static TProcessLocks& locks = *[] {
        auto* made = new TProcessLocks;
        AroundEveryFork(
            [] {
                ProcessLocks().listLock.lock();
                for (TProcessLock* each : ProcessLocks().all) {
                    each->lock.lock();
                }
            },
            [] {
                for (TProcessLock* each : ProcessLocks().all) {
                    each->lock.unlock();
                }
                ProcessLocks().listLock.unlock();
            },
            [] {
                for (TProcessLock* each : ProcessLocks().all) {
                    new (&each->signal) std::condition_variable;
                    each->lock.unlock();
                }
                ProcessLocks().listLock.unlock();
            });
        return made;
    }();
    return locks;
}

// One lock guards the state of every event: a wait on two events then sees both consistently,
// and an event's memory can be released as soon as its last waiter has let go of the lock.
// The sections it guards are a few instructions long, so sharing it costs nothing measurable.
// Its signal tells the destructor of a closed event that a waiter left.
TProcessLock& EventsLock() {
    static TProcessLock& shared = NewProcessLock();
    return shared;
}

std::mutex& EventLock() {
    return EventsLock().lock;
}

std::condition_variable& WaiterLeft() {
    return EventsLock().signal;
}

using Clock = std::chrono::steady_clock;

} // namespace

TProcessLock& NewProcessLock() {
    auto* made = new TProcessLock;
    TProcessLocks& locks = ProcessLocks();
    std::lock_guard guard(locks.listLock);
    locks.all.push_back(made);
    return *made;
}

struct TEventWaiter {
    explicit TEventWaiter(uint32_t process) : process(process) {}

    std::condition_variable wake;
    // A waiter of another process was waiting in the parent this one was forked from: its
    // thread did not come along, and its signal must not be touched.
    const uint32_t process;
};

TEvent::TEvent(bool manualReset, bool initiallySet)
    : manualReset_(manualReset), set_(initiallySet) {}

TEvent::~TEvent() {
    std::unique_lock lock(EventLock());
    ForgetWaitersLeftBehind();
    closed_ = true;
    for (TEventWaiter* waiter : waiters_) {
        waiter->wake.notify_one();
    }
    WaiterLeft().wait(lock, [this] { return waiters_.empty(); });
}

void TEvent::Set() {
    std::lock_guard lock(EventLock());
    if (closed_) {
        return;
    }
    ForgetWaitersLeftBehind();
    set_ = true;
    for (TEventWaiter* waiter : waiters_) {
        waiter->wake.notify_one();
    }
}

void TEvent::Reset() {
    std::lock_guard lock(EventLock());
    set_ = false;
}

void TEvent::Close() {
    std::lock_guard lock(EventLock());
    ForgetWaitersLeftBehind();
    closed_ = true;
    for (TEventWaiter* waiter : waiters_) {
        waiter->wake.notify_one();
    }
}

bool TEvent::IsClosed() const {
    std::lock_guard lock(EventLock());
    return closed_;
}

uint32_t TEvent::Wait(uint32_t timeoutMs) {
    TEvent* self = this;
    return WaitForAnyEvent(&self, 1, timeoutMs);
}

// Called with the event lock held. Every waiter asked for the process id before taking the lock,
// so asking again here registers nothing.
void TEvent::ForgetWaitersLeftBehind() {
    if (!waiters_.empty()) {
        const uint32_t process = CurrentProcessId();
        std::erase_if(waiters_,
                      [process](const TEventWaiter* waiter) { return waiter->process != process; });
    }
}

// Called with the event lock held.
bool TEvent::TryTake() {
    if (!set_) {
        return false;
    }
    if (!manualReset_) {
        set_ = false;
    }
    return true;
}

uint32_t WaitForAnyEvent(TEvent* const* events, size_t count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0 ||
        std::find(events, events + count, nullptr) != events + count) {
        return WAIT_FAILED;
    }
    uint32_t result = WAIT_TIMEOUT;
    // Called with the event lock held: true when the wait can end now, with its result.
    auto canEnd = [&] {
        for (size_t i = 0; i < count; ++i) {
            if (events[i]->closed_) {
                result = WAIT_FAILED;
                return true;
            }
        }
        for (size_t i = 0; i < count; ++i) {
            if (events[i]->TryTake()) {
                result = WAIT_OBJECT_0 + static_cast<uint32_t>(i);
                return true;
            }
        }
        return false;
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Asked before the lock is taken: the first question registers a fork handler, which waits
    // for a fork in progress, and a fork takes the event lock (some C libraries run the fork's
    // handlers with the registration held, and the two would wait for each other for ever).
    const uint32_t process = CurrentProcessId();

    std::unique_lock lock(EventLock());
    if (canEnd() || timeoutMs == 0) {
        return result;
    }
    TEventWaiter waiter(process);
    for (size_t i = 0; i < count; ++i) {
        events[i]->waiters_.push_back(&waiter);
    }
    bool ended = false;
    while (!ended) {
        if (timeoutMs == INFINITE) {
            waiter.wake.wait(lock);
        } else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            canEnd();
            break;
        }
        ended = canEnd();
    }
    bool closedEventEmptied = false;
    for (size_t i = 0; i < count; ++i) {
        auto& list = events[i]->waiters_;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        closedEventEmptied = closedEventEmptied || (events[i]->closed_ && list.empty());
    }
    if (closedEventEmptied) {
        WaiterLeft().notify_all();
    }
    return result;
}

uint32_t WaitForEitherEvent(TEvent& first, TEvent& second, uint32_t timeoutMs) {
    TEvent* events[] = {&first, &second};
    return WaitForAnyEvent(events, 2, timeoutMs);
}

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void SignalEvent(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(eventFd, &one, sizeof one);
}

void DrainEvent(int eventFd) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(eventFd, &count, sizeof count);
}

} // namespace kivo
