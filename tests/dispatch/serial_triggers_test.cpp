// Triggers fired by the dispatcher's own threads on a serial line: notifications reaching a
// procedure handler on the dispatch thread and a window pumped by the main thread, the event
// thread's lock step with the dispatch thread, and a close requested from inside a handler.
#include "tests/dispatch/serial_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivo {
namespace {

using testing::FarWrite;
using testing::TPortLine;

struct TNote {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const TNote&) const = default;
};

std::mutex gNotesLock;
std::vector<TNote> gProcNotes;
std::vector<TNote> gWindowNotes;

void RecordProcNote(uint32_t message, uint32_t wParam, int32_t lParam) {
    std::lock_guard guard(gNotesLock);
    gProcNotes.push_back({message, wParam, lParam});
}

LRESULT RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= msgTriggerAvail && message <= msgTriggerStatus) {
        std::lock_guard guard(gNotesLock);
        gWindowNotes.push_back({message, wParam, lParam});
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

HWND RecordingWindow() {
    if (!IsClassRegistered("kwSerialTestWindow")) {
        RegisterClass(TWndClass{"kwSerialTestWindow", RecordingWindowProc, 0});
    }
    return CreateWindow("kwSerialTestWindow");
}

size_t WindowNoteCount() {
    std::lock_guard guard(gNotesLock);
    return gWindowNotes.size();
}

// Handles the main thread's messages until `count` window notifications arrived.
bool PumpUntilWindowNotes(size_t count) {
    for (int idle = 0; WindowNoteCount() < count;) {
        ProcessMessages();
        if (WindowNoteCount() >= count) {
            break;
        }
        if (!WaitMessage(3000) && ++idle > 1) {
            return false;
        }
    }
    return true;
}

TEST(SerialTriggersTest, DataAndAvailTriggersReachProcedureAndWindow) {
    gProcNotes.clear();
    gWindowNotes.clear();
    TPortLine line;
    TKvdWin32Dispatcher& port = *line.port;
    const HWND window = RecordingWindow();
    port.RegisterProcTriggerHandler(RecordProcNote);
    port.RegisterWndTriggerHandler(window);
    port.UpdateHandlerFlags(fuEnablePort);
    const int32_t dataTrigger = port.AddDataTrigger("END", false);
    ASSERT_GT(dataTrigger, 0);
    port.ChangeLengthTrigger(4);

    ASSERT_TRUE(FarWrite(line.far(), "hello END"));
    ASSERT_TRUE(PumpUntilWindowNotes(2));

    const int32_t portWord = port.portHandle << 16;
    const std::vector<TNote> expected = {
        {msgTriggerAvail, 6, portWord},
        {msgTriggerData, static_cast<uint32_t>(dataTrigger), portWord | 3},
    };
    // The unread bytes may announce themselves again later; the first two notes tell.
    auto firstTwo = [](const std::vector<TNote>& notes) {
        return std::vector<TNote>(notes.begin(), notes.begin() + std::min<size_t>(2, notes.size()));
    };
    std::lock_guard guard(gNotesLock);
    EXPECT_EQ(firstTwo(gProcNotes), expected);
    EXPECT_EQ(firstTwo(gWindowNotes), expected);
    DestroyWindow(window);
}

// While the reader takes arriving bytes in itself the dispatch thread still checks them
// against the triggers, once.
TEST(SerialTriggersTest, DataTriggerFiresWhileTheReaderTakesTheInput) {
    gProcNotes.clear();
    TPortLine line;
    TKvdWin32Dispatcher& port = *line.port;
    port.RegisterProcTriggerHandler(RecordProcNote);
    port.UpdateHandlerFlags(fuEnablePort);
    const int32_t dataTrigger = port.AddDataTrigger("END", false);
    ASSERT_GT(dataTrigger, 0);
    port.inputWaiter = GetCurrentThreadId();

    ASSERT_TRUE(FarWrite(line.far(), "the END"));
    auto notes = [] {
        std::lock_guard guard(gNotesLock);
        return gProcNotes.size();
    };
    for (int i = 0; i < 30 && notes() == 0; ++i) {
        port.WaitForInput(100);
    }
    EXPECT_EQ(port.InBuffUsed(), 7u);
    port.inputWaiter = 0;
    port.EndInputWaits();
    std::lock_guard guard(gNotesLock);
    const std::vector<TNote> expected = {
        {msgTriggerData, static_cast<uint32_t>(dataTrigger), (port.portHandle << 16) | 3}};
    EXPECT_EQ(gProcNotes, expected);
}

TEvent* gTimerFired = nullptr;

void OnTimer(uint32_t message, uint32_t, int32_t) {
    if (message == msgTriggerTimer) {
        gTimerFired->Set();
    }
}

// Nothing arrives on the line: only the dispatch thread's timed pass can notice the timer.
TEST(SerialTriggersTest, TimerTriggerFiresOnAQuietLine) {
    TEvent fired;
    gTimerFired = &fired;
    TPortLine line;
    TKvdWin32Dispatcher& port = *line.port;
    port.RegisterProcTriggerHandler(OnTimer);
    const int32_t timer = port.AddTimerTrigger();
    ASSERT_GT(timer, 0);
    ASSERT_EQ(port.SetTimerTrigger(static_cast<uint32_t>(timer), 2, true), 0);
    EXPECT_EQ(fired.Wait(3000), WAIT_OBJECT_0);
    port.DonePort();
    gTimerFired = nullptr;
}

// Hands the event thread scripted event words, one per wait, instead of the device's, and
// counts the device status reads that every dispatch pass makes.
class TScriptedEventsPort : public TKvdWin32Dispatcher {
public:
    TScriptedEventsPort() : TKvdWin32Dispatcher(nullptr) {}
    ~TScriptedEventsPort() override { DonePort(); }

    void Script(std::initializer_list<uint32_t> events) {
        std::lock_guard guard(lock_);
        script_.insert(script_.end(), events);
        changed_.notify_all();
    }
    int StatusReads() {
        std::lock_guard guard(lock_);
        return statusReads_;
    }
    bool WaitForStatusReads(int count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(3),
                                 [&] { return statusReads_ >= count; });
    }
    // Whether the event thread has asked for `count` event words within `timeoutMs`.
    bool EventWaitsReach(int count, uint32_t timeoutMs) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return eventWaits_ >= count; });
    }

    bool WaitComEvent(uint32_t& eventWord, void*) override {
        std::unique_lock guard(lock_);
        ++eventWaits_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return !script_.empty() || stopThreads; });
        if (script_.empty()) {
            return false;
        }
        eventWord = script_.front();
        script_.pop_front();
        return true;
    }
    int GetComError(TComStat& stat) override {
        {
            std::lock_guard guard(lock_);
            ++statusReads_;
            changed_.notify_all();
        }
        return TKvdWin32Dispatcher::GetComError(stat);
    }
    int CloseCom() override {
        {
            std::lock_guard guard(lock_);
            stopThreads = true;
            changed_.notify_all();
        }
        return TKvdWin32Dispatcher::CloseCom();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<uint32_t> script_;
    int eventWaits_ = 0;
    int statusReads_ = 0;
};

// Passes that the dispatch thread runs on its own must not release the event thread early: it
// would overwrite the modem change below with the next event before any pass has read it.
TEST(SerialTriggersTest, TheEventThreadWaitsUntilThePassHasReadItsEvent) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    {
        TScriptedEventsPort port;
        ASSERT_EQ(port.InitPort(pty.SlavePath.c_str(), testing::kLineBaud, dcbParityNone, 8, 1,
                                4096, 4096, true, true),
                  0);
        ASSERT_TRUE(port.WaitForStatusReads(port.StatusReads() + 2)) << "passes without events";
        {
            // The pass for a modem change cannot finish while the lock is held.
            TCriticalSectionGuard hold(port.mainLock);
            port.Script({ev_Cts, ev_RxChar});
            EXPECT_FALSE(port.EventWaitsReach(2, 500))
                << "the event thread went on before its modem change was read";
        }
        EXPECT_TRUE(port.EventWaitsReach(3, 3000)) << "it goes on once the passes are over";
    }
    PtyClose(pty);
}

// How a handler reaches the dispatcher that notified it, and tells the test it ran.
std::atomic<TKvdBaseDispatcher*> gClosing{nullptr};
std::atomic<bool> gRingsHeldDuringHandler{false};
std::atomic<ThreadId> gTestThread{0};

void CloseFromHandler(uint32_t message, uint32_t, int32_t) {
    TKvdBaseDispatcher* port = gClosing;
    if (message != msgTriggerData || port == nullptr) {
        return;
    }
    port->DonePort();
    gRingsHeldDuringHandler =
        port->closePending && port->inBuffer != nullptr && port->outBuffer != nullptr;
    gClosing = nullptr;
    WakeThread(gTestThread);
}

LRESULT ClosingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CloseFromHandler(message, wParam, lParam);
    return DefWindowProc(window, message, wParam, lParam);
}

enum class THandlerKind { Procedure, Window };

class SerialCloseInHandlerTest : public ::testing::TestWithParam<THandlerKind> {};

// The handler runs while the dispatch thread delivers the notification: the rings it may still
// read must survive until it has returned; the dispatch thread then finishes the close.
TEST_P(SerialCloseInHandlerTest, RingsAreFreedOnlyAfterTheHandlerReturned) {
    TPortLine line;
    TKvdWin32Dispatcher& port = *line.port;
    gClosing = &port;
    gRingsHeldDuringHandler = false;
    HWND window = 0;
    if (GetParam() == THandlerKind::Window) {
        if (!IsClassRegistered("kwSerialClosingWindow")) {
            RegisterClass(TWndClass{"kwSerialClosingWindow", ClosingWindowProc, 0});
        }
        window = CreateWindow("kwSerialClosingWindow");
        port.RegisterWndTriggerHandler(window);
        port.UpdateHandlerFlags(fuEnablePort);
    } else {
        port.RegisterProcTriggerHandler(CloseFromHandler);
    }
    ASSERT_GT(port.AddDataTrigger("bye", false), 0);
    ASSERT_TRUE(FarWrite(line.far(), "bye"));

    // Waits with the main thread's messages handled, as the window handler needs.
    gTestThread = GetCurrentThreadId();
    while (gClosing != nullptr) {
        ProcessMessages();
        if (gClosing != nullptr) {
            ASSERT_TRUE(WaitMessage(3000)) << "the handler never ran";
        }
    }
    EXPECT_TRUE(gRingsHeldDuringHandler);
    port.StopDispatcher(); // returns once the dispatch thread has ended
    EXPECT_FALSE(port.threadsActive);
    EXPECT_EQ(port.inBuffer, nullptr);
    EXPECT_EQ(port.outBuffer, nullptr);
    EXPECT_LT(port.deviceId, 0);
    if (window != 0) {
        DestroyWindow(window);
    }
}

INSTANTIATE_TEST_SUITE_P(Handlers, SerialCloseInHandlerTest,
                         ::testing::Values(THandlerKind::Procedure, THandlerKind::Window));

// A gateway between two lines that closes both when either ends: each line's handler closes
// the other, both at once. Neither close may wait for the other line's handler to finish.
struct TPartnerCloser {
    TKvdBaseDispatcher* partner = nullptr;
    ThreadId waiter = 0;
    std::atomic<int> closes{0};
    void OnNote(uint32_t message, uint32_t, int32_t) {
        if (message != msgTriggerData) {
            return;
        }
        partner->DonePort();
        ++closes;
        WakeThread(waiter);
    }
};

TEST(SerialTriggersTest, HandlersOfTwoLinesClosingEachOtherAtOnceBothFinish) {
    for (int round = 0; round < 10; ++round) {
        TPortLine a;
        TPortLine b;
        TPartnerCloser closeB{b.port.get(), GetCurrentThreadId()};
        TPartnerCloser closeA{a.port.get(), GetCurrentThreadId()};
        a.port->RegisterEventTriggerHandler(TTriggerMethod::Bind<&TPartnerCloser::OnNote>(&closeB));
        b.port->RegisterEventTriggerHandler(TTriggerMethod::Bind<&TPartnerCloser::OnNote>(&closeA));
        ASSERT_GT(a.port->AddDataTrigger("end", false), 0);
        ASSERT_GT(b.port->AddDataTrigger("end", false), 0);
        std::thread farA([&] { FarWrite(a.far(), "end"); });
        ASSERT_TRUE(FarWrite(b.far(), "end"));
        farA.join();
        while (closeA.closes + closeB.closes == 0) {
            ASSERT_TRUE(WaitMessage(10000)) << "no handler closed its partner";
        }
        // Once each line's threads have ended, no handler is left that could close the other.
        a.port->StopDispatcher();
        b.port->StopDispatcher();
        EXPECT_TRUE(a.port->deviceId < 0 || b.port->deviceId < 0);
    }
}
} // namespace
} // namespace kivo
