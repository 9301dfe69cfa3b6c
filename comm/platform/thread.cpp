#include "comm/platform/thread.h"

#include "comm/platform/framework.h"

#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kivo {

namespace {

// Nice values, counted from the nice value the program was started with, so that "normal" is
// the program's own level and "lowest" stays below it even in a program started with nice.
// Idle and the lowered levels are always allowed; the raised ones only with the privilege to
// raise priority.
int NiceValueOf(TThreadPriority priority) {
    static const int kBase = getpriority(PRIO_PROCESS, 0);
    static constexpr int kOffset[] = {19, 10, 5, 0, -5, -10, -15};
    if (priority == tpIdle) {
        return 19;
    }
    int nice = kBase + kOffset[priority <= tpTimeCritical ? priority : tpNormal];
    return nice < -20 ? -20 : nice > 19 ? 19 : nice;
}

// An exception must not escape a thread (that would end the program): it is shown instead.
template <class Body>
void RunShowingExceptions(Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception("Unknown exception in a thread"));
    }
}

void CreateStdThread(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

std::atomic<TThreadCreator> gCreateThread{CreateStdThread};

// getpid is a system call each time, and the port asks on every call whether it was forked
// away from the process that opened it: the number is kept, and forgotten in a forked child.
std::atomic<uint32_t> gProcessId{0};

void ForgetProcessId() {
    gProcessId.store(0, std::memory_order_relaxed);
}

} // namespace

uint32_t CurrentProcessId() {
    static const bool forgottenAtFork = pthread_atfork(nullptr, nullptr, ForgetProcessId) == 0;
    uint32_t id = gProcessId.load(std::memory_order_relaxed);
    if (id == 0 || !forgottenAtFork) {
        id = static_cast<uint32_t>(getpid());
        gProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

void AroundEveryFork(void (*before)(), void (*inParent)(), void (*inChild)()) {
    pthread_atfork(before, inParent, inChild);
}

void SetThreadCreator(TThreadCreator creator) {
    gCreateThread.store(creator != nullptr ? creator : CreateStdThread);
}

TThread::~TThread() {
    if (started_.load() && GetCurrentThreadId() != threadId_.load()) {
        Terminate();
        AwaitFinish();
    }
}

void TThread::Start() {
    if (started_.exchange(true)) {
        return;
    }
    // A self-freeing thread may end and delete this object before the creator gets to wait,
    // so the creator waits on an event of its own.
    TEvent running(true, false);
    try {
        gCreateThread.load()([this, &running] { Run(running); });
    } catch (...) {
        started_.store(false); // nothing runs that the destructor would have to wait for
        throw;
    }
    running.Wait();
}

int32_t TThread::WaitFor() {
    if (FreeOnTerminate() || GetCurrentThreadId() == threadId_.load()) {
        return -1;
    }
    if (started_.load()) {
        AwaitFinish();
    }
    return returnValue_;
}

// The thread may be blocked in Synchronize, which only the main thread can end: the main thread
// handles the calls handed to it while it waits. Whichever of the two comes second, the thread
// ending or the main thread registering, sees the other, so the wait cannot miss the end.
void TThread::AwaitFinish() {
    if (GetCurrentThreadId() == MainThreadId()) {
        mainWaiting_.store(true);
        TMsg msg;
        while (!ending_.load()) {
            PeekMessage(msg, 0, 0, 0, PM_NOREMOVE);
            if (!ending_.load()) {
                WaitMessage(INFINITE);
            }
        }
    }
    finished_.Wait();
}

void TThread::SetPriority(TThreadPriority priority) {
    if (priority > tpTimeCritical) {
        return;
    }
    priority_.store(priority);
    if (systemThreadId_.load() != 0 && !Finished()) {
        ApplyPriority();
    }
}

void TThread::ApplyPriority() {
    // A refused change (no privilege to raise) leaves the thread at its present level.
    setpriority(PRIO_PROCESS, static_cast<id_t>(systemThreadId_.load()),
                NiceValueOf(priority_.load()));
}

void TThread::Run(TEvent& running) {
    threadId_.store(GetCurrentThreadId());
    systemThreadId_.store(static_cast<int32_t>(gettid()));
    if (priority_.load() != tpNormal) {
        ApplyPriority();
    }
    running.Set();
    RunBody();
    ending_.store(true);
    if (mainWaiting_.load()) {
        WakeThread(MainThreadId());
    }
    if (FreeOnTerminate()) {
        delete this;
    } else {
        finished_.Set(); // the owner may delete the object from here on
    }
}

void TThread::RunBody() {
    RunShowingExceptions([this] { Execute(); });
    RunShowingExceptions([this] { DoTerminate(); });
}

} // namespace kivo
