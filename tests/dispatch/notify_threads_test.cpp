// Notification across threads: a dispatcher thread notifies while the main thread pumps its
// messages and changes triggers; windows and synchronized handlers run on the main thread, and
// a window whose thread does not answer holds up the others for at most 3000 ms.
#include "tests/dispatch/notify_recorder.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace kivo::testing {
namespace {

// Runs `work` on a thread of its own while this (the main) thread handles its messages.
void RunWhilePumping(const std::function<void()>& work) {
    const ThreadId mainThread = GetCurrentThreadId();
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        work();
        done = true;
        WakeThread(mainThread);
    });
    while (!done) {
        WaitMessage(INFINITE);
        ProcessMessages();
    }
    notifier.join();
}

class NotifyThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RegisterKwComWindowClass());
        owner.window = CreateWindow(KwComWindowClassName);
        ASSERT_NE(owner.window, 0u);
        ASSERT_EQ(port.Open(), 0);
    }
    void TearDown() override { DestroyWindow(owner.window); }

    TOwnerRecorder owner;
    TFakeDispatcher port{&owner};
};

TEST_F(NotifyThreads, WindowAndSynchronizedHandlersRunOnTheMainThreadInOrder) {
    TNoteRecorder recorder(port);
    recorder.readAnnounced = true;
    port.RegisterWndTriggerHandler(owner.window);
    port.UpdateHandlerFlags(fuEnablePort);
    port.RegisterSyncEventTriggerHandler(recorder.Method());
    port.ChangeLengthTrigger(5);
    const auto ok = static_cast<uint32_t>(port.AddDataTrigger("OK", false));
    const auto used = static_cast<uint32_t>(port.AddStatusTrigger(skOutUsed));
    ASSERT_EQ(port.SetStatusTrigger(used, 0, true), 0);

    RunWhilePumping([&] {
        port.ScriptInput("12345OK");
        port.ExtractData();
        while (port.CheckStatusTriggers() || port.CheckReceiveTriggers()) {
        }
    });

    EXPECT_EQ(recorder.notes, (std::vector<TNote>{{msgTriggerStatus, used, NoteParam(port, 0)},
                                                  {msgTriggerAvail, 5, NoteParam(port, 0)},
                                                  {msgTriggerData, ok, NoteParam(port, 2)}}));
    EXPECT_EQ(recorder.read, "12345OK");
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"Trigger 32260 " + std::to_string(used) + " 0",
                                                     "Status " + std::to_string(used),
                                                     "OutbuffUsed", "Trigger 32257 5 5", "Avail 5",
                                                     "Trigger 32258 " + std::to_string(ok) + " 2",
                                                     "Data " + std::to_string(ok)}));
    EXPECT_EQ(port.InBuffUsed(), 0u);
}

TEST_F(NotifyThreads, ACloseInTheWindowHandlerEndsTheNotifyingThreadsPass) {
    struct TClosingOwner : TOwnerRecorder {
        TKvdBaseDispatcher* port = nullptr;
        void TriggerAvail(uint16_t count) override {
            TOwnerRecorder::TriggerAvail(count);
            port->DonePort();
        }
    };
    TClosingOwner closing;
    closing.window = CreateWindow(KwComWindowClassName);
    TFakeDispatcher closingPort(&closing);
    ASSERT_EQ(closingPort.Open(), 0);
    closing.port = &closingPort;
    closingPort.RegisterWndTriggerHandler(closing.window);
    closingPort.UpdateHandlerFlags(fuEnablePort);
    closingPort.ChangeLengthTrigger(3);

    bool served = true;
    RunWhilePumping([&] {
        closingPort.ScriptInput("abc");
        closingPort.ExtractData();
        served = closingPort.CheckReceiveTriggers();
    });
    EXPECT_FALSE(served);
    EXPECT_TRUE(closingPort.closePending);
    EXPECT_FALSE(closingPort.notifyBusy);
    EXPECT_EQ(closing.calls, (std::vector<std::string>{"Trigger 32257 3 3", "Avail 3"}));
    DestroyWindow(closing.window);
}

// The checks walk the trigger lists while the main thread adds and removes triggers; the lists
// grow and shrink under them the whole time.
TEST_F(NotifyThreads, TriggersChangeWhileTheChecksRun) {
    port.RegisterProcTriggerHandler([](uint32_t, uint32_t, int32_t) {});
    std::atomic<bool> stop{false};
    TEvent running;
    std::thread checker([&] {
        running.Set();
        while (!stop) {
            port.ScriptInput("ab");
            port.ExtractData();
            port.CheckReceiveTriggers();
            port.CheckTimerTriggers();
            port.CheckStatusTriggers();
            port.ResetStatusHits();
            port.FlushInBuffer();
        }
    });
    ASSERT_EQ(running.Wait(10000), WAIT_OBJECT_0);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint32_t> handles;
        for (int i = 0; i < 10; ++i) {
            handles.push_back(static_cast<uint32_t>(port.AddDataTrigger("b", false)));
            const auto timer = static_cast<uint32_t>(port.AddTimerTrigger());
            port.SetTimerTrigger(timer, 0, true);
            handles.push_back(timer);
            const auto status = static_cast<uint32_t>(port.AddStatusTrigger(skOutFree));
            port.SetStatusTrigger(status, 1, true);
            handles.push_back(status);
        }
        TTriggerSave save;
        port.SaveTriggers(save);
        for (uint32_t handle : handles) {
            EXPECT_EQ(port.RemoveTrigger(handle), 0);
        }
        port.RestoreTriggers(save);
        port.RemoveAllTriggers();
    }
    stop = true;
    checker.join();
}

// Marked slow: one window is left unanswered for the full 3000 ms.
TEST_F(NotifyThreads, SlowAWindowThatDoesNotAnswerDoesNotStopTheOthers) {
    std::atomic<HWND> stuckWindow{0};
    TEvent created;
    TEvent release;
    std::thread stuck([&] {
        stuckWindow = CreateWindow(KwComWindowClassName);
        created.Set();
        release.Wait(); // busy with something else: its queue is not looked at
        DestroyWindow(stuckWindow);
    });
    ASSERT_EQ(created.Wait(10000), WAIT_OBJECT_0);
    port.RegisterWndTriggerHandler(stuckWindow);
    port.RegisterWndTriggerHandler(owner.window);

    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0));
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"Trigger 32259 8 0", "Timer 8"}));
    release.Set();
    stuck.join();
}

} // namespace
} // namespace kivo::testing
