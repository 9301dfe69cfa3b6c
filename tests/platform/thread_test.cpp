#include "comm/platform/framework.h"
#include "comm/platform/sync.h"
#include "comm/platform/thread.h"
#include "comm/platform/winmsg.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kivo {
namespace {

// Reads a member that only the derived constructor sets: a thread started before the object
// was complete would see the default.
class ReportingThread : public TThread {
public:
    ReportingThread(std::atomic<int>& seen, TEvent& done) : seen_(seen), done_(done), value_(42) {}
    ~ReportingThread() override { WaitFor(); }

protected:
    void Execute() override {
        seen_ = value_;
        SetReturnValue(7);
    }
    void DoTerminate() override { done_.Set(); }

private:
    std::atomic<int>& seen_;
    TEvent& done_;
    int value_ = 0;
};

TEST(Thread, RunsExecuteOnTheCompleteObjectAndReportsItsResult) {
    std::atomic<int> seen{0};
    TEvent done(true, false);
    ReportingThread* thread = NewThread<ReportingThread>(seen, done);
    EXPECT_NE(0u, thread->ThreadID());
    EXPECT_NE(GetCurrentThreadId(), thread->ThreadID());
    EXPECT_EQ(7, thread->WaitFor());
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ(42, seen.load());
    EXPECT_EQ(WAIT_OBJECT_0, done.Wait(0));
    delete thread;
}

class SelfFreeingThread : public TThread {
public:
    SelfFreeingThread(TEvent& release, TEvent& destroyed)
        : release_(release), destroyed_(destroyed) {
        SetFreeOnTerminate(true);
    }
    ~SelfFreeingThread() override { destroyed_.Set(); }

protected:
    void Execute() override { release_.Wait(INFINITE); }

private:
    TEvent& release_;
    TEvent& destroyed_;
};

TEST(Thread, FreeOnTerminateDeletesTheObjectWhenExecuteEnds) {
    TEvent release(true, false);
    TEvent destroyed(true, false);
    SelfFreeingThread* thread = NewThread<SelfFreeingThread>(release, destroyed);
    EXPECT_EQ(-1, thread->WaitFor()) << "a self-freeing thread cannot be waited for";
    release.Set();
    EXPECT_EQ(WAIT_OBJECT_0, destroyed.Wait(INFINITE));
}

// A thread that has ended, and freed itself, before its creator gets to wait for it to run.
void RunToCompletion(std::function<void()> body) {
    std::thread(std::move(body)).join();
}

TEST(Thread, ASelfFreeingThreadMayEndBeforeStartReturns) {
    TEvent release(true, true);
    TEvent destroyed(true, false);
    SetThreadCreator(RunToCompletion);
    NewThread<SelfFreeingThread>(release, destroyed);
    SetThreadCreator(nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, destroyed.Wait(0));
}

class ThrowingThread : public TThread {
public:
    explicit ThrowingThread(TEvent& cleanedUp) : cleanedUp_(cleanedUp) {}
    ~ThrowingThread() override { WaitFor(); }

protected:
    void Execute() override { throw std::runtime_error("device gone"); }
    void DoTerminate() override { cleanedUp_.Set(); }

private:
    TEvent& cleanedUp_;
};

TEST(Thread, ExceptionFromExecuteIsShownAndTheThreadEndsCleanly) {
    std::string shown;
    ExceptionDisplay previous =
        SetExceptionDisplay([&](const std::exception& e) { shown = e.what(); });
    TEvent cleanedUp(true, false);
    auto* thread = NewThread<ThrowingThread>(cleanedUp);
    thread->WaitFor();
    SetExceptionDisplay(previous);
    EXPECT_EQ("device gone", shown);
    EXPECT_EQ(WAIT_OBJECT_0, cleanedUp.Wait(0));
    delete thread;
}

void RefuseThread(std::function<void()>) {
    throw std::system_error(EAGAIN, std::generic_category(), "no thread");
}

TEST(Thread, ARefusedStartLeavesTheObjectUnstarted) {
    std::atomic<int> seen{0};
    TEvent done(true, false);
    ReportingThread thread(seen, done);
    SetThreadCreator(RefuseThread);
    EXPECT_THROW(thread.Start(), std::system_error);
    SetThreadCreator(nullptr);
    EXPECT_EQ(0u, thread.ThreadID());
    thread.Start();
    EXPECT_EQ(7, thread.WaitFor());
    EXPECT_EQ(42, seen.load());
}

// The caller of NewThread never gets the object of a refused start, so NewThread deletes it.
TEST(Thread, ARefusedNewThreadDeletesItsObject) {
    TEvent release(true, true);
    TEvent destroyed(true, false);
    SetThreadCreator(RefuseThread);
    EXPECT_THROW(NewThread<SelfFreeingThread>(release, destroyed), std::system_error);
    SetThreadCreator(nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, destroyed.Wait(0));
}

// Loops until terminated, reporting its own nice value once it has been asked to.
class LoopingThread : public TThread {
public:
    ~LoopingThread() override {
        Terminate();
        wake.Set();
        WaitFor();
    }
    TEvent wake{false, false};
    TEvent answered{false, false};
    std::atomic<int> nice{0};

protected:
    void Execute() override {
        while (!Terminated()) {
            wake.Wait(INFINITE);
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
            answered.Set();
        }
    }
};

TEST(Thread, PrioritiesLowerTheThreadAndNeverFailWhenRaisingIsRefused) {
    const int processNice = getpriority(PRIO_PROCESS, 0);
    if (processNice >= 19) {
        GTEST_SKIP() << "started at the lowest priority (nice 19): no level lies below it";
    }
    auto* thread = NewThread<LoopingThread>();
    thread->SetPriority(tpLowest);
    thread->wake.Set();
    thread->answered.Wait(INFINITE);
    EXPECT_GT(thread->nice.load(), processNice);
    for (TThreadPriority priority : {tpHigher, tpHighest, tpTimeCritical, tpIdle}) {
        EXPECT_NO_THROW(thread->SetPriority(priority));
        EXPECT_EQ(priority, thread->Priority());
    }
    thread->wake.Set();
    thread->answered.Wait(INFINITE);
    EXPECT_EQ(19, thread->nice.load());
    thread->SetPriority(static_cast<TThreadPriority>(99));
    EXPECT_EQ(tpIdle, thread->Priority()) << "an unknown level is ignored";
    delete thread;
}

class SynchronizingThread : public TThread {
public:
    ~SynchronizingThread() override { WaitFor(); }
    std::atomic<ThreadId> ranOn{0};

protected:
    void Execute() override {
        Synchronize([this] { ranOn = GetCurrentThreadId(); });
        PostThreadMessage(MainThreadId(), WM_QUIT, 0, 0);
    }
};

TEST(Thread, SynchronizeRunsOnTheMainThreadWhileItPumps) {
    auto* thread = NewThread<SynchronizingThread>();
    TMsg msg;
    while (GetMessage(msg)) {
        DispatchMessage(msg);
    }
    thread->WaitFor();
    EXPECT_EQ(MainThreadId(), thread->ranOn.load());
    delete thread;
}

// Synchronizes until it is terminated, the usual shape of a worker that updates a view.
std::atomic<int> updates{0};

class UpdatingThread : public TThread {
public:
    ~UpdatingThread() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override {
        while (!Terminated()) {
            Synchronize([] { ++updates; });
        }
    }
};

// The main thread ending such a thread runs the thread's pending call while it waits for it,
// whether it waits itself or deletes the thread at once.
TEST(Thread, WaitingOnTheMainThreadServesTheThreadsSynchronize) {
    updates = 0;
    auto* waited = NewThread<UpdatingThread>();
    TMsg msg;
    while (updates.load() == 0) {
        WaitMessage(INFINITE);
        PeekMessage(msg, 0, 0, 0, PM_NOREMOVE);
    }
    waited->Terminate();
    EXPECT_EQ(0, waited->WaitFor());
    delete waited;

    delete NewThread<UpdatingThread>();
}

} // namespace
} // namespace kivo
