// The thread base class. A derived class puts the thread's work in Execute; the thread runs it
// once started and ends when Execute returns.
//
// Starting: the operating-system thread must not run Execute before the derived object is
// completely built, so construction and start are two steps. Create threads with
// NewThread<T>(arguments...), which constructs and then starts, or call Start() yourself once
// the object is complete.
//
// Ending: with FreeOnTerminate set, the thread deletes its object when Execute has returned
// (the creator must not touch it after that). Otherwise the owner ends it with Terminate and
// WaitFor and then deletes it; a derived class whose Execute uses its own members must do that
// in its destructor, because the base destructor runs after those members are gone. An exception
// escaping Execute is shown through ShowException and the thread ends normally, DoTerminate
// included.
#pragma once

#include "comm/platform/sync.h"
#include "comm/platform/winmsg.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace kivo {

enum TThreadPriority : uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

class TThread {
public:
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread; returns once it runs and ThreadID() is known. Later calls do nothing.
    // When the system refuses a thread this throws (std::system_error) and the object stays
    // unstarted: it may be deleted, or started again.
    void Start();

    // Asks Execute to end: it reads Terminated() and returns when it sees it.
    void Terminate() { terminated_.store(true); }

    // Blocks until Execute (and DoTerminate) have ended; returns the value set with
    // SetReturnValue (0 when none). A thread that frees itself cannot be waited for, nor can a
    // thread wait for itself: -1 at once.
    // On the main thread, this wait and the destructor's run the calls handed to the main
    // thread meanwhile, so a thread blocked in Synchronize can end.
    int32_t WaitFor();

    bool FreeOnTerminate() const { return freeOnTerminate_.load(); }
    void SetFreeOnTerminate(bool value) { freeOnTerminate_.store(value); }

    // Priorities map to nice values of the thread. Raising above normal needs a privilege this
    // program usually lacks; the request is then kept but the thread stays where it is.
    TThreadPriority Priority() const { return priority_.load(); }
    void SetPriority(TThreadPriority priority);

    ThreadId ThreadID() const { return threadId_.load(); } // 0 before Start
    bool Finished() const { return finished_.Wait(0) == WAIT_OBJECT_0; }

protected:
    TThread() = default;

    virtual void Execute() = 0;
    // Runs on the thread after Execute, also when Execute ended by an exception.
    virtual void DoTerminate() {}

    bool Terminated() const { return terminated_.load(); }
    void SetReturnValue(int32_t value) { returnValue_ = value; }

    // Runs the call on the main thread and returns once it has run.
    void Synchronize(const std::function<void()>& call) { RunOnMainThread(call); }

private:
    void Run(TEvent& running);
    void AwaitFinish();
    void RunBody();
    void ApplyPriority();

    std::atomic<bool> started_{false};
    std::atomic<bool> ending_{false};      // Execute and DoTerminate are over
    std::atomic<bool> mainWaiting_{false}; // the main thread waits for the end
    std::atomic<bool> terminated_{false};
    std::atomic<bool> freeOnTerminate_{false};
    std::atomic<TThreadPriority> priority_{tpNormal};
    std::atomic<ThreadId> threadId_{0};
    std::atomic<int32_t> systemThreadId_{0};
    int32_t returnValue_ = 0;
    mutable TEvent finished_{true, false};
};

// Makes a detached operating-system thread that runs `body`; throws std::system_error when the
// system refuses one. Replaceable so that tests can make thread creation fail; null restores
// the standard one.
using TThreadCreator = void (*)(std::function<void()> body);
void SetThreadCreator(TThreadCreator creator);

// The system's number of the calling process; a child forked from it has another one, and none
// of its threads but the one that forked.
uint32_t CurrentProcessId();

// Registers what runs around every fork of the process: `before` in the forking thread just
// before it, `inParent` and `inChild` just after it in each process. A lock that other threads
// take is taken before and released after, so that a child, which has only the forking thread,
// finds it free and what it guards whole.
void AroundEveryFork(void (*before)(), void (*inParent)(), void (*inChild)());

// Constructs a thread object and starts it. When the start is refused the object is deleted
// and the exception passes on.
template <class T, class... Args>
T* NewThread(Args&&... args) {
    auto thread = std::make_unique<T>(std::forward<Args>(args)...);
    thread->Start();
    return thread.release();
}

} // namespace kivo
