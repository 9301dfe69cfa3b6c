// Handlers and SendNotify on one thread: the lists and their flags, the shared read position
// of data notifications, deferred deregistration, a close that ends a notification, and the
// hidden port window routing notifications to its port component.
#include "tests/dispatch/notify_recorder.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "comm/platform/framework.h"

namespace kivo::testing {
namespace {

std::vector<TNote> procNotes;
void RecordProc(uint32_t message, uint32_t wParam, int32_t lParam) {
    procNotes.push_back(TNote{message, wParam, lParam});
}

// A handler that reads a fixed number of announced bytes.
class TReader {
public:
    TReader(TKvdBaseDispatcher& port, uint32_t count) : port_(port), count_(count) {}
    TTriggerMethod Method() { return TTriggerMethod::Bind<&TReader::OnNotify>(this); }
    void OnNotify(uint32_t, uint32_t, int32_t) {
        std::string bytes(count_, '\0');
        if (port_.GetBlock(bytes.data(), count_) == static_cast<int>(count_)) {
            read = bytes;
        }
    }
    std::string read;

private:
    TKvdBaseDispatcher& port_;
    uint32_t count_;
};

class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.Open(), 0);
        procNotes.clear();
    }

    // Ten bytes in the ring and an avail notification announcing them.
    bool NotifyTenBytes() {
        port.ScriptInput("0123456789");
        port.ExtractData();
        return port.SendNotify(msgTriggerAvail, 10, 0);
    }

    TFakeDispatcher port;
};

TEST_F(Notify, HandlerFlagsFollowTheListsAndThePortHandler) {
    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0)) << "nobody to serve";
    EXPECT_FALSE(port.notifyBusy);

    port.RegisterWndTriggerHandler(77);
    port.UpdateHandlerFlags(fuDisablePort);
    EXPECT_FALSE(port.handlerServiceNeeded) << "the port's own window alone needs enabling";
    port.UpdateHandlerFlags(fuEnablePort);
    EXPECT_TRUE(port.handlerServiceNeeded);
    port.UpdateHandlerFlags(fuDisablePort);

    port.RegisterProcTriggerHandler(&RecordProc);
    EXPECT_TRUE(port.handlerServiceNeeded);
    port.DeregisterProcTriggerHandler(&RecordProc);
    EXPECT_FALSE(port.handlerServiceNeeded);

    // Deregistering what was never registered changes nothing but the flags.
    TNoteRecorder stranger(port);
    port.handlerServiceNeeded = true;
    port.DeregisterEventTriggerHandler(stranger.Method());
    EXPECT_FALSE(port.handlerServiceNeeded);
    EXPECT_EQ(port.wndHandlers.size(), 1u);
}

TEST_F(Notify, EveryKindOfHandlerGetsMessageWParamAndPortInLParam) {
    TNoteRecorder first(port);
    TNoteRecorder second(port);
    port.RegisterEventTriggerHandler(first.Method());
    port.RegisterProcTriggerHandler(&RecordProc);
    port.RegisterProcTriggerHandler(nullptr);
    port.RegisterEventTriggerHandler(TTriggerMethod());
    port.RegisterSyncEventTriggerHandler(TTriggerMethod());
    port.RegisterSyncEventTriggerHandler(second.Method());
    EXPECT_TRUE(port.SendNotify(msgTriggerStatus, 35, 4000));
    const std::vector<TNote> expected{{msgTriggerStatus, 35, NoteParam(port, 4000)}};
    EXPECT_EQ(first.notes, expected);
    EXPECT_EQ(second.notes, expected);
    EXPECT_EQ(procNotes, expected);

    // A count that does not fit the low word saturates instead of changing the port.
    first.notes.clear();
    port.SendNotify(msgTriggerStatus, 35, 70000);
    EXPECT_EQ(first.notes, (std::vector<TNote>{{msgTriggerStatus, 35, NoteParam(port, 0xFFFF)}}));
}

TEST_F(Notify, EveryHandlerReadsFromTheSameStartAndTheLongestReadIsCommitted) {
    TReader ten(port, 10);
    TReader four(port, 4);
    port.RegisterEventTriggerHandler(ten.Method());
    port.RegisterEventTriggerHandler(four.Method());
    const uint32_t tail = port.inTail;
    EXPECT_TRUE(NotifyTenBytes());
    EXPECT_EQ(four.read, "0123");
    EXPECT_EQ(ten.read, "0123456789");
    EXPECT_EQ(port.inTail, tail + 10);
    EXPECT_FALSE(port.inDataNotify);
    EXPECT_EQ(port.handlerRead, 0u);
}

TEST_F(Notify, AnAvailNotificationReadShortLeavesTheRestAndFails) {
    TReader one(port, 4);
    TReader other(port, 4);
    port.RegisterEventTriggerHandler(one.Method());
    port.RegisterEventTriggerHandler(other.Method());
    const uint32_t tail = port.inTail;
    EXPECT_FALSE(NotifyTenBytes());
    EXPECT_EQ(other.read, "0123");
    EXPECT_EQ(port.inTail, tail + 4);
    EXPECT_EQ(port.InBuffUsed(), 6u);

    // A data notification succeeds whatever its handlers read.
    EXPECT_TRUE(port.SendNotify(msgTriggerData, 8, 2));
    EXPECT_EQ(port.inTail, tail + 8);
}

TEST_F(Notify, AReaderOutsideTheHandlersIsHandedEveryByteOnce) {
    // Two handlers each read two bytes; after each, another thread reads as the owner of a
    // port does between its events. The handlers share their bytes; the other reader goes on
    // past them and what it took is committed with them.
    std::string outside;
    const auto readOutside = [&] {
        std::thread([&] {
            char bytes[2];
            if (port.GetBlock(bytes, 2) == 2) {
                outside.append(bytes, 2);
            }
        }).join();
    };
    struct TReadThenOutside {
        TReader reader;
        std::function<void()> outside;
        void OnNotify(uint32_t message, uint32_t wParam, int32_t lParam) {
            reader.OnNotify(message, wParam, lParam);
            outside();
        }
    };
    TReadThenOutside first{TReader(port, 2), readOutside};
    TReadThenOutside second{TReader(port, 2), readOutside};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TReadThenOutside::OnNotify>(&first));
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TReadThenOutside::OnNotify>(&second));
    EXPECT_FALSE(NotifyTenBytes());
    EXPECT_EQ(first.reader.read, "01");
    EXPECT_EQ(second.reader.read, "01");
    EXPECT_EQ(outside, "2345");
    readOutside();
    readOutside();
    EXPECT_EQ(outside, "23456789");
    EXPECT_EQ(port.InBuffUsed(), 0u);
}

TEST_F(Notify, HandlersAfterAnOutsideReadOrAFlushAreNotHandedThoseBytes) {
    // The owner of a port reads while a notification is on its way to its window: the
    // handlers served after that go on past what it took.
    std::string outside;
    struct TOutsideThenRead {
        TReader reader;
        std::function<void()> outside;
        void OnNotify(uint32_t message, uint32_t wParam, int32_t lParam) {
            outside();
            reader.OnNotify(message, wParam, lParam);
        }
    };
    TOutsideThenRead first{TReader(port, 2), [&] {
                               std::thread([&] {
                                   char bytes[3];
                                   if (port.GetBlock(bytes, 3) == 3) {
                                       outside.append(bytes, 3);
                                   }
                               }).join();
                           }};
    TReader second(port, 4);
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TOutsideThenRead::OnNotify>(&first));
    port.RegisterEventTriggerHandler(second.Method());
    EXPECT_FALSE(NotifyTenBytes());
    EXPECT_EQ(outside, "012");
    EXPECT_EQ(first.reader.read, "34");
    EXPECT_EQ(second.read, "3456");
    EXPECT_EQ(port.InBuffUsed(), 3u);

    // A flush in a handler leaves nothing for it or the handlers after it.
    port.DeregisterEventTriggerHandler(TTriggerMethod::Bind<&TOutsideThenRead::OnNotify>(&first));
    port.DeregisterEventTriggerHandler(second.Method());
    struct TReadFlushRead {
        TKvdBaseDispatcher& port;
        std::string read;
        void OnNotify(uint32_t, uint32_t, int32_t) {
            char c;
            for (int n = 0; n < 2 && port.GetChar(c) == 0; ++n) {
                read += c;
            }
            port.FlushInBuffer();
            if (port.GetChar(c) == 0 || port.CharReady() || port.InBuffUsed() != 0) {
                read += '!';
            }
        }
    } flushing{port, ""};
    TReader after(port, 1);
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TReadFlushRead::OnNotify>(&flushing));
    port.RegisterEventTriggerHandler(after.Method());
    port.ScriptInput("abcdef");
    port.ExtractData();
    port.SendNotify(msgTriggerData, 1, 0);
    EXPECT_EQ(flushing.read, "78");
    EXPECT_EQ(after.read, "");
    EXPECT_EQ(port.InBuffUsed(), 0u);
}

// Room made in a full ring wakes the dispatch thread for the bytes the device still holds,
// whether handlers or an outside reader made it.
TEST_F(Notify, RoomMadeInAFullRingWakesTheDispatchThread) {
    TEvent wake;
    TEvent* const own = std::exchange(port.commEventSignal, &wake);
    TReader reader(port, InBufferSize);
    port.RegisterEventTriggerHandler(reader.Method());
    port.ScriptInput(std::string(InBufferSize, 'a'));
    port.ExtractData();
    port.SendNotify(msgTriggerAvail, InBufferSize, 0);
    EXPECT_EQ(wake.Wait(0), WAIT_OBJECT_0) << "after the handlers' reads";
    port.DeregisterEventTriggerHandler(reader.Method());

    port.ScriptInput(std::string(InBufferSize, 'b'));
    port.ExtractData();
    char byte = 0;
    EXPECT_EQ(port.GetChar(byte), 0);
    EXPECT_EQ(wake.Wait(0), WAIT_OBJECT_0) << "after an outside read";
    port.commEventSignal = own;
}

TEST_F(Notify, AFullRingFlushedByAHandlerKeepsTheBytesThatArriveMeanwhile) {
    // The flushed bytes leave the ring when the notification ends; what arrives in between
    // must not take their places and go with them.
    struct TFlushThenReceive {
        TFakeDispatcher& port;
        void OnNotify(uint32_t, uint32_t, int32_t) {
            port.FlushInBuffer();
            port.ScriptInput(std::string(InBufferSize, 'n'));
            port.ExtractData();
        }
    } flushing{port};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TFlushThenReceive::OnNotify>(&flushing));
    port.ScriptInput(std::string(InBufferSize, 'z'));
    port.ExtractData();
    ASSERT_EQ(port.InBuffUsed(), InBufferSize);
    port.SendNotify(msgTriggerAvail, InBufferSize, 0);

    port.ExtractData();
    EXPECT_EQ(port.InBuffUsed(), InBufferSize);
    std::string received(InBufferSize, '\0');
    ASSERT_EQ(port.GetBlock(received.data(), InBufferSize), static_cast<int>(InBufferSize));
    EXPECT_EQ(received.find_first_not_of('n'), std::string::npos);
}

TEST_F(Notify, AHandlerDeregisteredDuringANotificationGoesWhenItEnds) {
    struct TSelfRemover {
        TKvdBaseDispatcher* port;
        TNoteRecorder* later;
        int calls = 0;
        size_t listSizeInside = 0;
        void OnNotify(uint32_t, uint32_t, int32_t) {
            ++calls;
            port->DeregisterEventTriggerHandler(
                TTriggerMethod::Bind<&TSelfRemover::OnNotify>(this));
            port->DeregisterEventTriggerHandler(later->Method());
            listSizeInside = port->eventHandlers.size();
        }
    };
    TNoteRecorder later(port);
    TSelfRemover remover{&port, &later};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TSelfRemover::OnNotify>(&remover));
    port.RegisterEventTriggerHandler(later.Method());
    port.RegisterProcTriggerHandler(&RecordProc);

    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0));
    EXPECT_EQ(remover.listSizeInside, 2u) << "records stay while the notification runs";
    EXPECT_TRUE(later.notes.empty()) << "a record marked deleted is not called";
    EXPECT_EQ(procNotes.size(), 1u);
    EXPECT_TRUE(port.eventHandlers.empty());
    EXPECT_FALSE(port.purgePending);

    port.SendNotify(msgTriggerTimer, 8, 0);
    EXPECT_EQ(remover.calls, 1);
    EXPECT_TRUE(port.handlerServiceNeeded) << "the procedure handler is still there";
}

// A wait holds the dispatcher busy too; without a notification to end, the wait's end is the
// moment to drop what was deregistered meanwhile, or the flags would keep announcing a handler.
TEST_F(Notify, AHandlerDeregisteredDuringAWaitGoesWhenTheWaitEnds) {
    port.RegisterProcTriggerHandler(&RecordProc);
    bool wasBusy = false;
    port.SetEventBusy(wasBusy, true);
    port.DeregisterProcTriggerHandler(&RecordProc);
    EXPECT_EQ(port.procHandlers.size(), 1u) << "kept, marked, while the wait holds";
    EXPECT_TRUE(port.purgePending);

    port.SetEventBusy(wasBusy, false);
    EXPECT_TRUE(port.procHandlers.empty());
    EXPECT_FALSE(port.purgePending);
    EXPECT_FALSE(port.handlerServiceNeeded);
}

TEST_F(Notify, ACloseRequestedInAHandlerEndsTheNotification) {
    struct TCloser {
        TKvdBaseDispatcher* port;
        TNoteRecorder* later;
        void OnNotify(uint32_t, uint32_t, int32_t) {
            std::string bytes(3, '\0');
            port->GetBlock(bytes.data(), 3);
            port->DeregisterEventTriggerHandler(later->Method());
            port->DonePort();
        }
    };
    TNoteRecorder later(port);
    TCloser closer{&port, &later};
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TCloser::OnNotify>(&closer));
    port.RegisterEventTriggerHandler(later.Method());
    port.RegisterProcTriggerHandler(&RecordProc);

    const uint32_t tail = port.inTail;
    EXPECT_FALSE(NotifyTenBytes());
    EXPECT_TRUE(port.closePending);
    EXPECT_TRUE(later.notes.empty());
    EXPECT_TRUE(procNotes.empty());
    EXPECT_EQ(port.inTail, tail) << "an ended notification commits no reads";
    EXPECT_FALSE(port.inDataNotify);
    EXPECT_FALSE(port.notifyBusy);
    EXPECT_EQ(port.eventHandlers.size(), 1u) << "the deferred removal still happens";
}

TEST_F(Notify, AFailingHandlerIsShownAndTheOthersAreStillServed) {
    struct TThrower {
        void OnNotify(uint32_t, uint32_t, int32_t) { throw Exception("handler failed"); }
    };
    std::vector<std::string> shown;
    ExceptionDisplay previous =
        SetExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
    TThrower thrower;
    TNoteRecorder after(port);
    port.RegisterEventTriggerHandler(TTriggerMethod::Bind<&TThrower::OnNotify>(&thrower));
    port.RegisterEventTriggerHandler(after.Method());
    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0));
    SetExceptionDisplay(previous);
    EXPECT_EQ(shown, std::vector<std::string>{"handler failed"});
    EXPECT_EQ(after.notes.size(), 1u);
    EXPECT_FALSE(port.notifyBusy);
}

// A wait may begin while a notification is on its way (its thread does not see it) or hold the
// dispatcher when one ends: each holder lifts only its own hold.
TEST_F(Notify, AWaitsHoldOutlastsTheNotificationItBeganIn) {
    struct TWaitStarter {
        TKvdBaseDispatcher* port;
        bool wasBusy = true;
        void OnNotify(uint32_t, uint32_t, int32_t) { port->SetEventBusy(wasBusy, true); }
    };
    TWaitStarter starter{&port};
    const TTriggerMethod method = TTriggerMethod::Bind<&TWaitStarter::OnNotify>(&starter);
    port.RegisterEventTriggerHandler(method);
    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0));
    EXPECT_FALSE(starter.wasBusy) << "the wait's own hold was not set before";
    EXPECT_TRUE(port.notifyBusy) << "the wait still holds the dispatcher";

    port.DeregisterEventTriggerHandler(method);
    EXPECT_EQ(port.eventHandlers.size(), 1u) << "removal waits for the end of the hold";
    EXPECT_TRUE(port.SendNotify(msgTriggerTimer, 8, 0));
    EXPECT_TRUE(port.notifyBusy);
    EXPECT_TRUE(port.eventHandlers.empty());

    bool wasBusy = false;
    port.SetEventBusy(wasBusy, false);
    EXPECT_TRUE(wasBusy);
    EXPECT_FALSE(port.notifyBusy);
}

// ---------------------------------------------------------------------------------------------
// The hidden port window

class PortWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RegisterKwComWindowClass());
        ASSERT_TRUE(RegisterKwComWindowClass()) << "a second registration is harmless";
        owner.window = CreateWindow(KwComWindowClassName);
        ASSERT_NE(owner.window, 0u);
        ASSERT_EQ(port.Open(), 0);
    }
    void TearDown() override { DestroyWindow(owner.window); }

    LRESULT Deliver(UINT message, WPARAM wParam, uint32_t low) {
        return KwComWindowProc(owner.window, message, wParam, NoteParam(port, low));
    }

    TOwnerRecorder owner;
    TFakeDispatcher port{&owner};
};

TEST_F(PortWindow, NotificationsReachTheOwnerAsTriggerCalls) {
    Deliver(msgTriggerAvail, 5, 0);
    Deliver(msgTriggerData, 16, 2);
    Deliver(msgTriggerTimer, 24, 0);
    Deliver(msgTriggerStatus, 35, 4000);
    owner.lineError = 3;
    owner.lineBreak = true;
    Deliver(msgTriggerStatus, 42, 0);
    Deliver(msgTriggerStatus, 48, 0);
    EXPECT_EQ(owner.calls,
              (std::vector<std::string>{
                  "Trigger 32257 5 5", "Avail 5", "Trigger 32258 16 2", "Data 16",
                  "Trigger 32259 24 0", "Timer 24", "Trigger 32260 35 4000", "Status 35",
                  "OutbuffFree", "Trigger 32260 42 0", "Status 42", "read LineBreak",
                  "read LineError", "LineError 3 break", "Trigger 32260 48 0", "Status 48"}));
}

TEST_F(PortWindow, TheStatusKindPicksTheEventThatFollows) {
    for (uint32_t handle : {8 + 1, 8 + 4, 8 + 5, 8 + 7}) {
        Deliver(msgTriggerStatus, handle, 0);
    }
    EXPECT_EQ(owner.calls, (std::vector<std::string>{
                               "Trigger 32260 9 0", "Status 9", "ModemStatus", "Trigger 32260 12 0",
                               "Status 12", "OutbuffUsed", "Trigger 32260 13 0", "Status 13",
                               "OutSent", "Trigger 32260 15 0", "Status 15"}));
}

TEST_F(PortWindow, OtherMessagesAndUnknownPortsAreLeftAlone) {
    EXPECT_EQ(KwComWindowProc(owner.window, 0x7E05, 1, NoteParam(port, 0)), 0);
    EXPECT_EQ(KwComWindowProc(owner.window, msgPortOpen, 1, NoteParam(port, 0)), 0);
    EXPECT_EQ(KwComWindowProc(owner.window, msgTriggerAvail, 5, 0x7FFF0000), 0);
    TFakeDispatcher orphan; // no owning port component
    EXPECT_EQ(KwComWindowProc(owner.window, msgTriggerAvail, 5, NoteParam(orphan, 0)), 0);
    EXPECT_TRUE(owner.calls.empty());
}

TEST_F(PortWindow, SendNotifyServesThePortWindowOnlyWhenEnabled) {
    port.RegisterWndTriggerHandler(owner.window);
    port.UpdateHandlerFlags(fuDisablePort);
    port.SendNotify(msgTriggerTimer, 8, 0);
    EXPECT_TRUE(owner.calls.empty());
    port.UpdateHandlerFlags(fuEnablePort);
    port.SendNotify(msgTriggerTimer, 8, 0);
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"Trigger 32259 8 0", "Timer 8"}));

    // A second window makes every window a listener.
    owner.calls.clear();
    const HWND other = CreateWindow(KwComWindowClassName);
    port.RegisterWndTriggerHandler(other);
    port.UpdateHandlerFlags(fuDisablePort);
    port.SendNotify(msgTriggerTimer, 8, 0);
    EXPECT_EQ(owner.calls.size(), 4u);
    DestroyWindow(other);
}

TEST_F(PortWindow, DeferredCloseWaitsForTheDispatcherThreads) {
    port.threadsActive = true;
    port.threadCount = 1;
    Deliver(msgDeferredClose, 0, 0);
    EXPECT_TRUE(owner.calls.empty());
    // Nothing goes round the queue while the threads run: the owner's thread may sleep.
    TMsg msg;
    EXPECT_FALSE(PeekMessage(msg, owner.window, msgDeferredClose, msgDeferredClose, PM_REMOVE));

    port.ThreadGone(nullptr); // the last thread ends
    ASSERT_TRUE(PeekMessage(msg, owner.window, msgDeferredClose, msgDeferredClose, PM_REMOVE));
    EXPECT_EQ(msg.lParam, NoteParam(port, 0));
    DispatchMessage(msg);
    EXPECT_EQ(owner.calls, std::vector<std::string>{"CompleteDeferredClose"});
    EXPECT_FALSE(PeekMessage(msg, owner.window, msgDeferredClose, msgDeferredClose, PM_REMOVE));
}

TEST_F(PortWindow, AnExceptionFromTheOwnerIsShownOnTheMainThread) {
    struct TFailingOwner : TOwnerRecorder {
        void TriggerTimer(uint16_t) override { throw Exception("event failed"); }
    };
    TFailingOwner failing;
    TFakeDispatcher failingPort(&failing);
    std::vector<std::string> shown;
    ExceptionDisplay previous =
        SetExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
    EXPECT_EQ(KwComWindowProc(owner.window, msgTriggerTimer, 8, NoteParam(failingPort, 0)), 0);
    SetExceptionDisplay(previous);
    EXPECT_EQ(shown, std::vector<std::string>{"event failed"});
}

} // namespace
} // namespace kivo::testing
