#include "comm/platform/sync.h"
#include "comm/platform/winmsg.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace kivo {
namespace {

constexpr UINT kMsgRecord = WM_USER + 1;   // records (lParam, wParam)
constexpr UINT kMsgBlock = WM_USER + 2;    // holds the window's thread until the gate opens
constexpr UINT kMsgAnswer = WM_USER + 3;   // answers wParam * 2
constexpr UINT kMsgRelay = WM_USER + 4;    // sends kMsgAnswer to window wParam, answers that + 1
constexpr UINT kMsgCallMain = WM_USER + 5; // hands a call to the main thread, answers 1

// What the test window procedure sees. Windows' procedures have no context, so the running
// test publishes its probe here.
struct Probe {
    std::vector<std::pair<LPARAM, WPARAM>> recorded;
    std::atomic<ThreadId> answeredOn{0};
    std::atomic<ThreadId> calledOn{0};
    std::atomic<int> answers{0};
    TEvent blocked{true, false};
    TEvent gate{true, false};
};
Probe* probe = nullptr;

LRESULT TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kMsgRecord:
        probe->recorded.emplace_back(lParam, wParam);
        return 0;
    case kMsgBlock:
        probe->blocked.Set();
        probe->gate.Wait(INFINITE);
        return 0;
    case kMsgAnswer:
        probe->answeredOn = GetCurrentThreadId();
        ++probe->answers;
        return static_cast<LRESULT>(wParam * 2);
    case kMsgRelay:
        return SendMessage(static_cast<HWND>(wParam), kMsgAnswer, 21, 0) + 1;
    case kMsgCallMain:
        RunOnMainThread([] { probe->calledOn = GetCurrentThreadId(); });
        return 1;
    default:
        return DefWindowProc(window, message, wParam, lParam);
    }
}

const char* const kTestClass = "kwTestWindow";

// Counts what the layer asks of a host event loop; its waits block on an event of its own.
class FakeHostLoop : public THostLoop {
public:
    void Wake() override {
        ++wakes;
        woke.Set();
    }
    void RunOnce() override { ++runs; }
    void WaitForEvents(uint32_t timeoutMs) override {
        ++waits;
        woke.Wait(timeoutMs);
    }
    std::atomic<int> wakes{0};
    std::atomic<int> runs{0};
    std::atomic<int> waits{0};
    TEvent woke{false, false};
};

// A thread that owns one test window and handles its messages until it is told to quit.
class WindowThread {
public:
    explicit WindowThread(std::shared_ptr<THostLoop> host = nullptr) {
        thread_ = std::thread([this, host] {
            SetHostLoop(host);
            window_ = CreateWindow(kTestClass);
            id_ = GetCurrentThreadId();
            ready_.Set();
            TMsg msg;
            while (GetMessage(msg)) {
                DispatchMessage(msg);
            }
        });
        ready_.Wait(INFINITE);
    }
    ~WindowThread() {
        PostThreadMessage(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND Window() const { return window_; }
    ThreadId Id() const { return id_; }

private:
    std::thread thread_;
    HWND window_ = 0;
    ThreadId id_ = 0;
    TEvent ready_{true, false};
};

class WindowMessages : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterClass(TWndClass{kTestClass, TestWindowProc, 4});
        probe = &probe_;
        window_ = CreateWindow(kTestClass);
        ASSERT_NE(0u, window_);
    }
    void TearDown() override {
        probe_.gate.Set();
        DestroyWindow(window_);
        TMsg msg;
        while (PeekMessage(msg, 0, 0, 0, PM_REMOVE)) {
        }
    }

    Probe probe_;
    HWND window_ = 0;
};

TEST_F(WindowMessages, PostedMessagesKeepTheirOrderPerSender) {
    constexpr int kCount = 2000;
    auto poster = [this](LPARAM sender) {
        for (int i = 1; i <= kCount; ++i) {
            PostMessage(window_, kMsgRecord, static_cast<WPARAM>(i), sender);
        }
    };
    std::thread first(poster, 1);
    std::thread second(poster, 2);
    TMsg msg;
    while (probe_.recorded.size() < 2 * kCount && GetMessage(msg)) {
        DispatchMessage(msg);
    }
    first.join();
    second.join();
    WPARAM last[3] = {0, 0, 0};
    for (const auto& [sender, sequence] : probe_.recorded) {
        ASSERT_EQ(last[sender] + 1, sequence) << "from sender " << sender;
        last[sender] = sequence;
    }
    EXPECT_EQ(static_cast<WPARAM>(kCount), last[1]);
    EXPECT_EQ(static_cast<WPARAM>(kCount), last[2]);
}

TEST_F(WindowMessages, QuitComesAfterThePostedMessagesAndCarriesItsCode) {
    PostMessage(window_, kMsgRecord, 1, 0);
    PostQuitMessage(7);
    PostMessage(window_, kMsgRecord, 2, 0);
    TMsg msg;
    ASSERT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(1u, msg.wParam);
    ASSERT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(2u, msg.wParam);
    ASSERT_TRUE(PeekMessage(msg, 0, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(WM_QUIT, msg.message);
    EXPECT_FALSE(GetMessage(msg)) << "GetMessage reports the quit message";
    EXPECT_EQ(7u, msg.wParam);
    EXPECT_EQ(0u, msg.hwnd);
    EXPECT_FALSE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
}

TEST_F(WindowMessages, SendFromAnotherThreadRunsOnTheWindowsThread) {
    WindowThread owner;
    LRESULT result = 0;
    ASSERT_TRUE(SendMessageTimeout(owner.Window(), kMsgAnswer, 21, 0, SMTO_BLOCK, 3000, &result));
    EXPECT_EQ(42, result);
    EXPECT_EQ(owner.Id(), probe_.answeredOn.load());
    EXPECT_EQ(8, SendMessage(owner.Window(), kMsgAnswer, 4, 0));
}

TEST_F(WindowMessages, SendThatTimesOutIsWithdrawn) {
    WindowThread owner;
    PostMessage(owner.Window(), kMsgBlock, 0, 0);
    probe_.blocked.Wait(INFINITE);
    LRESULT result = -1;
    EXPECT_FALSE(SendMessageTimeout(owner.Window(), kMsgAnswer, 1, 0, SMTO_BLOCK, 30, &result));
    EXPECT_EQ(kErrorTimeout, LastMessageError());
    EXPECT_EQ(-1, result);
    probe_.gate.Set();
    EXPECT_EQ(6, SendMessage(owner.Window(), kMsgAnswer, 3, 0));
    EXPECT_EQ(1, probe_.answers.load()) << "the timed-out message must not run late";
}

TEST_F(WindowMessages, DestroyingTheWindowReleasesABlockedSender) {
    auto host = std::make_shared<FakeHostLoop>();
    WindowThread owner(host);
    PostMessage(owner.Window(), kMsgBlock, 0, 0);
    probe_.blocked.Wait(INFINITE);
    host->woke.Wait(0); // forget the wake-up of the post
    std::atomic<bool> sent{true};
    std::atomic<uint32_t> error{0};
    std::thread sender([&] {
        sent = SendMessageTimeout(owner.Window(), kMsgAnswer, 1, 0, SMTO_NORMAL, INFINITE);
        error = LastMessageError();
    });
    host->woke.Wait(INFINITE); // the message is queued for the blocked thread
    EXPECT_TRUE(DestroyWindow(owner.Window()));
    sender.join();
    EXPECT_FALSE(sent.load());
    EXPECT_EQ(kErrorInvalidWindowHandle, error.load());
    probe_.gate.Set();
    EXPECT_FALSE(PostMessage(owner.Window(), kMsgAnswer, 1, 0));
    EXPECT_EQ(0, probe_.answers.load());
}

TEST_F(WindowMessages, SenderOwningTheWindowCallsItDirectly) {
    LRESULT result = 0;
    EXPECT_TRUE(SendMessageTimeout(window_, kMsgAnswer, 5, 0, SMTO_BLOCK, 0, &result));
    EXPECT_EQ(10, result);
    EXPECT_EQ(GetCurrentThreadId(), probe_.answeredOn.load());
    TMsg msg;
    EXPECT_FALSE(PeekMessage(msg, 0, 0, 0, PM_REMOVE)) << "nothing went through the queue";
}

TEST_F(WindowMessages, ThreadsSendingToEachOtherDoNotDeadlock) {
    WindowThread other;
    EXPECT_EQ(43, SendMessage(other.Window(), kMsgRelay, window_, 0));
    EXPECT_EQ(GetCurrentThreadId(), probe_.answeredOn.load())
        << "the nested send was served while this thread waited";
}

TEST_F(WindowMessages, MainThreadCallIsServedWhileTheMainThreadSends) {
    ASSERT_EQ(MainThreadId(), GetCurrentThreadId()) << "tests run on the main thread";
    WindowThread worker;
    EXPECT_EQ(1, SendMessage(worker.Window(), kMsgCallMain, 0, 0));
    EXPECT_EQ(MainThreadId(), probe_.calledOn.load());
}

TEST_F(WindowMessages, MainThreadCallRaisesTheCallsExceptionInTheCaller) {
    std::atomic<bool> raised{false};
    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        RunOnMainThread([&] { ranOnMain = GetCurrentThreadId() == MainThreadId(); });
        try {
            RunOnMainThread([] { throw std::runtime_error("refused"); });
        } catch (const std::runtime_error&) {
            raised = true;
        }
        PostThreadMessage(MainThreadId(), WM_QUIT, 0, 0);
    });
    TMsg msg;
    while (GetMessage(msg)) {
        DispatchMessage(msg);
    }
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_TRUE(raised.load());
}

// The polled wait is WaitMessage taking part in a poll: the same wake-ups end it, none is
// lost between the two calls, and one already seen does not end it again.
TEST_F(WindowMessages, PolledWaitEndsOnWakeUpLikeWaitMessage) {
    WakeThread(GetCurrentThreadId());
    EXPECT_EQ(BeginPolledWait(), kMessagesWaiting) << "a wake-up before the wait is not lost";
    int fd = BeginPolledWait();
    ASSERT_GE(fd, 0);
    pollfd quiet{fd, POLLIN, 0};
    EXPECT_EQ(poll(&quiet, 1, 10), 0) << "the wake-up above is used up";
    EXPECT_FALSE(EndPolledWait());

    const ThreadId self = GetCurrentThreadId();
    fd = BeginPolledWait();
    ASSERT_GE(fd, 0);
    std::thread poster([this] { PostMessage(window_, kMsgRecord, 1, 0); });
    pollfd woken{fd, POLLIN, 0};
    EXPECT_EQ(poll(&woken, 1, 5000), 1);
    poster.join();
    EXPECT_TRUE(EndPolledWait());
    EXPECT_GE(BeginPolledWait(), 0) << "a message already seen does not end a wait again";
    EXPECT_FALSE(EndPolledWait());

    fd = BeginPolledWait();
    std::thread waker([self] { WakeThread(self); });
    pollfd again{fd, POLLIN, 0};
    EXPECT_EQ(poll(&again, 1, 5000), 1);
    waker.join();
    EXPECT_TRUE(EndPolledWait());
    TMsg msg;
    EXPECT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
}

TEST_F(WindowMessages, CallsBeforeTheNextWaitRunOnceUnlessWithdrawn) {
    std::vector<int> ran;
    CallBeforeNextWait(1, [&] { ran.push_back(1); });
    CallBeforeNextWait(2, [&] { ran.push_back(2); });
    CallBeforeNextWait(1, [&] { ran.push_back(10); }); // replaces the first
    CallBeforeNextWait(3, [&] { ran.push_back(3); });
    WithdrawBeforeNextWait(3);
    CallBeforeNextWait(5, {});
    CallBeforeNextWait(6, [&] { ran.push_back(6); });
    EXPECT_TRUE(ran.empty()) << "nothing runs before the thread waits";
    EXPECT_NO_THROW(WaitMessage(0));
    EXPECT_EQ(ran, (std::vector<int>{2, 10, 6}));
    WaitMessage(0);
    EXPECT_EQ(ran.size(), 3u) << "each runs once";

    std::thread other([&] { WaitMessage(0); });
    CallBeforeNextWait(4, [&] { ran.push_back(4); });
    other.join();
    EXPECT_EQ(ran.size(), 3u) << "only the thread that asked runs it";
    WithdrawBeforeNextWait(4);
}

TEST_F(WindowMessages, WaitMessageEndsOnWakeUpMessageOrTimeout) {
    EXPECT_FALSE(WaitMessage(10));
    WakeThread(GetCurrentThreadId());
    EXPECT_TRUE(WaitMessage(INFINITE)) << "a wake-up before the wait is not lost";
    EXPECT_FALSE(WaitMessage(0)) << "and is used up by it";

    ThreadId self = GetCurrentThreadId();
    std::thread waker([self] { WakeThread(self); });
    EXPECT_TRUE(WaitMessage(INFINITE));
    waker.join();

    std::thread poster([this] { PostMessage(window_, kMsgRecord, 1, 0); });
    EXPECT_TRUE(WaitMessage(INFINITE));
    poster.join();
    EXPECT_FALSE(WaitMessage(0)) << "a message already seen does not end a wait again";
    TMsg msg;
    EXPECT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE)) << "but stays queued";
    EXPECT_FALSE(WakeThread(0));
}

TEST_F(WindowMessages, WindowsOfAnEndedThreadAreGone) {
    HWND orphan = 0;
    ThreadId ended = 0;
    std::thread([&] {
        orphan = CreateWindow(kTestClass);
        ended = GetCurrentThreadId();
    }).join();
    EXPECT_FALSE(IsWindow(orphan));
    EXPECT_FALSE(PostMessage(orphan, kMsgAnswer, 0, 0));
    EXPECT_FALSE(SendMessageTimeout(orphan, kMsgAnswer, 0, 0, SMTO_NORMAL, INFINITE));
    EXPECT_FALSE(PostThreadMessage(ended, kMsgAnswer, 0, 0));
    EXPECT_EQ(0u, GetWindowThreadId(orphan));

    // So are those of a thread that comes back from an object of its own destroyed after the
    // layer let go of the thread (a thread_local port closed as the thread ends), twice over.
    static std::vector<std::pair<ThreadId, HWND>> late;
    late.clear();
    struct TLateUser {
        ~TLateUser() { late.emplace_back(GetCurrentThreadId(), CreateWindow(kTestClass)); }
    };
    std::thread([&] {
        thread_local TLateUser first;
        thread_local TLateUser second;
        ended = GetCurrentThreadId(); // taken on after them, so let go of before them
    }).join();
    ASSERT_EQ(late.size(), 2u);
    for (const auto& [thread, window] : late) {
        EXPECT_FALSE(PostThreadMessage(thread, kMsgAnswer, 0, 0)) << thread;
        EXPECT_FALSE(IsWindow(window));
    }
}

// A thread that ends without ever looking at its queue must not leave its senders hanging.
TEST_F(WindowMessages, SendersWaitingOnAThreadThatEndsAreReleased) {
    auto host = std::make_shared<FakeHostLoop>();
    TEvent created(true, false);
    TEvent end(true, false);
    HWND window = 0;
    std::thread owner([&] {
        SetHostLoop(host);
        window = CreateWindow(kTestClass);
        created.Set();
        end.Wait(INFINITE);
    });
    created.Wait(INFINITE);
    std::atomic<bool> sent{true};
    std::atomic<uint32_t> error{0};
    std::thread sender([&] {
        sent = SendMessageTimeout(window, kMsgAnswer, 1, 0, SMTO_NORMAL, INFINITE);
        error = LastMessageError();
    });
    host->woke.Wait(INFINITE); // the message is queued
    end.Set();
    owner.join();
    sender.join();
    EXPECT_FALSE(sent.load());
    EXPECT_EQ(kErrorInvalidWindowHandle, error.load());
    EXPECT_EQ(0, probe_.answers.load());
}

TEST_F(WindowMessages, DestroyDropsQueuedMessages) {
    HWND doomed = CreateWindow(kTestClass);
    PostMessage(doomed, kMsgAnswer, 1, 0);
    PostMessage(window_, kMsgAnswer, 2, 0);
    DestroyWindow(doomed);
    TMsg msg;
    ASSERT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(window_, msg.hwnd);
    EXPECT_FALSE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(0, DispatchMessage(TMsg{doomed, kMsgAnswer, 1, 0}));
    EXPECT_EQ(0, probe_.answers.load());
    EXPECT_FALSE(DestroyWindow(doomed));
}

TEST_F(WindowMessages, PeekFiltersByWindowAndRange) {
    HWND second = CreateWindow(kTestClass);
    PostMessage(window_, kMsgRecord, 1, 0);
    PostMessage(second, kMsgAnswer, 2, 0);
    TMsg msg;
    ASSERT_TRUE(PeekMessage(msg, second, 0, 0, PM_REMOVE));
    EXPECT_EQ(2u, msg.wParam);
    EXPECT_FALSE(PeekMessage(msg, 0, kMsgBlock, kMsgCallMain, PM_REMOVE));
    ASSERT_TRUE(PeekMessage(msg, 0, kMsgRecord, kMsgRecord, PM_REMOVE));
    EXPECT_EQ(1u, msg.wParam);
    DestroyWindow(second);
}

TEST_F(WindowMessages, ExtraBytesAndClassesCheckTheirArguments) {
    EXPECT_EQ(0, GetWindowLong(window_, 0));
    EXPECT_EQ(0, SetWindowLong(window_, 0, 0x12345678));
    EXPECT_EQ(0x12345678, SetWindowLong(window_, 0, -1));
    EXPECT_EQ(-1, GetWindowLong(window_, 0));
    EXPECT_EQ(0, GetWindowLong(window_, 1));
    EXPECT_EQ(kErrorInvalidIndex, LastMessageError());
    EXPECT_EQ(0, SetWindowLong(window_, -4, 5));
    EXPECT_EQ(kErrorInvalidIndex, LastMessageError());
    EXPECT_EQ(0, GetWindowLong(0, 0));
    EXPECT_EQ(kErrorInvalidWindowHandle, LastMessageError());

    EXPECT_FALSE(RegisterClass(TWndClass{kTestClass, TestWindowProc, 4}));
    EXPECT_EQ(kErrorClassAlreadyExists, LastMessageError());
    EXPECT_FALSE(RegisterClass(TWndClass{"", TestWindowProc, 0}));
    EXPECT_FALSE(RegisterClass(TWndClass{"kwNoProc", nullptr, 0}));
    EXPECT_FALSE(RegisterClass(TWndClass{"kwNegative", TestWindowProc, -4}));
    EXPECT_EQ(kErrorInvalidParameter, LastMessageError());
    EXPECT_EQ(0u, CreateWindow("kwNeverRegistered"));
    EXPECT_EQ(kErrorClassDoesNotExist, LastMessageError());
    EXPECT_FALSE(UnregisterClass(kTestClass));
    EXPECT_EQ(kErrorClassHasWindows, LastMessageError());
    EXPECT_FALSE(SendMessageTimeout(0, kMsgAnswer, 0, 0, SMTO_NORMAL, 0));
    EXPECT_EQ(kErrorInvalidWindowHandle, LastMessageError());
}

// Once 2^32 threads have had a number, the numbers come round again: never 0, and never one
// that a running thread still holds, whose messages would go astray.
TEST_F(WindowMessages, ThreadNumbersComeRoundWithoutReusingARunningThreads) {
    const ThreadId self = GetCurrentThreadId();
    auto numberOfNewThread = [] {
        ThreadId id = 0;
        std::thread([&] { id = GetCurrentThreadId(); }).join();
        return id;
    };
    SetLastThreadIdForTesting(0xFFFFFFFEu);
    EXPECT_EQ(0xFFFFFFFFu, numberOfNewThread());
    EXPECT_NE(0u, numberOfNewThread());
    SetLastThreadIdForTesting(self - 1);
    EXPECT_NE(self, numberOfNewThread());
    EXPECT_TRUE(PostThreadMessage(self, kMsgRecord, 1, 0)) << "the thread keeps its queue";
    TMsg msg;
    EXPECT_TRUE(PeekMessage(msg, 0, kMsgRecord, kMsgRecord, PM_REMOVE));
}

TEST_F(WindowMessages, HostLoopIsWokenAndRunByTheLayer) {
    auto host = std::make_shared<FakeHostLoop>();
    SetHostLoop(host);
    std::thread poster([this] { PostMessage(window_, kMsgRecord, 1, 0); });
    poster.join();
    EXPECT_GE(host->wakes.load(), 1);
    EXPECT_TRUE(WaitMessage(INFINITE)) << "the message is already there";
    ProcessMessages();
    EXPECT_EQ(1u, probe_.recorded.size());
    EXPECT_EQ(1, host->runs.load());
    host->woke.Wait(0);
    EXPECT_FALSE(WaitMessage(5));
    EXPECT_EQ(1, host->waits.load()) << "an empty queue waits in the host loop";
    SetHostLoop(nullptr);
}

} // namespace
} // namespace kivo
