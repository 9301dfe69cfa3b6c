// Opening and closing the port component: the failures and their codes, the port prompt, the
// order in which settings reach a new dispatcher, users, tracing across a close, changing the
// port number, the close that waits for a running notification or wait, and a port still open
// when the program exits or forks.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"
#include "comm/platform/serial.h"
#include "comm/platform/winmsg.h"
#include "tests/fakes/child_exit.h"
#include "tests/fakes/no_machine_ports.h"
#include "tests/fakes/pty_far_end.h"
#include "tests/fakes/scratchdir.h"
#include "tests/port/port_harness.h"

namespace kivo::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// Failures

struct TOpenFailureCase {
    int platformError;
    int expectedCode;
};

class PortOpenFailure : public ::testing::TestWithParam<TOpenFailureCase> {};

TEST_P(PortOpenFailure, RaisesThePortErrorAndLeavesEverythingClosed) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(9);
    int told = 0;
    port.RegisterUserCallback(TPortCallback(
        [](void* count, TKvdCustomComPort*, bool) { ++*static_cast<int*>(count); }, &told));
    NextFakeOpenFailure = GetParam().platformError;
    int code = 0;
    try {
        port.SetOpen(true);
    } catch (const EKVDException& e) {
        code = e.ErrorCode;
    } catch (const EInOutError& e) {
        code = -e.ErrorCode;
    }
    EXPECT_EQ(code, GetParam().expectedCode);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    EXPECT_EQ(port.TriggerWindow(), 0u);
    EXPECT_EQ(told, 0);
}

INSTANTIATE_TEST_SUITE_P(Codes, PortOpenFailure,
                         ::testing::Values(TOpenFailureCase{5, -2008}, TOpenFailureCase{2, -2001},
                                           TOpenFailureCase{3, -2001},
                                           // No permission keeps its own message.
                                           TOpenFailureCase{13, -13}));

TEST(PortOpen, AClosedPortWithoutAutoOpenRefusesDataOperations) {
    TTestPort port;
    port.SetAutoOpen(false);
    port.SetComNumber(4);
    EXPECT_THROW(port.PutChar('x'), ECommNotOpen);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
}

TEST(PortOpen, AnUnsupportedDeviceLayerRaisesNullApi) {
    class TFossilPort : public TTestPort {
    public:
        TFossilPort() { deviceLayer_ = dlFossil; }
    } port;
    port.SetComNumber(4);
    EXPECT_THROW(port.SetOpen(true), ENullApi);
    EXPECT_EQ(port.PortState(), psClosed);
}

// ---------------------------------------------------------------------------------------------
// Choosing the port

class PortPrompt : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PtyOpen(pty_), 0);
        ASSERT_EQ(RegisterComPort(kPromptPort, pty_.SlavePath), 0);
        port.SetActivationProc(ActivateFake);
    }
    void TearDown() override {
        UnregisterComPort(kPromptPort);
        PtyClose(pty_);
    }

    static constexpr uint16_t kPromptPort = 12;
    TNoMachinePorts noMachinePorts_;
    TPtyPair pty_;
    TTestPort port;
};

TEST_F(PortPrompt, WithoutPromptNoPortIsChosen) {
    auto presenter = std::make_shared<TScriptedPresenter>();
    TPresenterGuard guard(presenter);
    port.SetPromptForPort(false);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(presenter->shown, 0);
}

TEST_F(PortPrompt, TheChosenPortIsStoredAndOpened) {
    auto presenter = std::make_shared<TScriptedPresenter>();
    presenter->choose = kPromptPort;
    TPresenterGuard guard(presenter);
    port.SetOpen(true);
    EXPECT_EQ(presenter->shown, 1);
    EXPECT_EQ(port.ComNumber(), kPromptPort);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(port.Fake()->openedName, "\\\\.\\COM12");
}

// The selection's modal loop runs other code, which may need the port and so open it: that
// open is the one that counts, and no second dispatcher is made behind it.
TEST_F(PortPrompt, AnOpenDuringTheSelectionIsTheOnlyOne) {
    struct TReentrantPresenter : TScriptedPresenter {
        TModalResult ShowModal(TComSelectForm& form) override {
            const TModalResult result = TScriptedPresenter::ShowModal(form);
            if (shown == 1) {
                port->PutChar('x');
            }
            return result;
        }
        TTestPort* port = nullptr;
    };
    auto presenter = std::make_shared<TReentrantPresenter>();
    presenter->choose = kPromptPort;
    presenter->port = &port;
    TPresenterGuard guard(presenter);
    const int before = FakesCreated;
    int opens = 0;
    port.SetOnPortOpen(
        TNotifyEvent([](void* count, TComponent*) { ++*static_cast<int*>(count); }, &opens));
    port.SetOpen(true);
    EXPECT_EQ(presenter->shown, 2);
    EXPECT_EQ(FakesCreated, before + 1);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(port.Fake()->DrainOutput(), "x");
}

TEST_F(PortPrompt, DecliningOrNoPresenterRaisesNoPortSelected) {
    auto presenter = std::make_shared<TScriptedPresenter>();
    presenter->answer = mrCancel;
    {
        TPresenterGuard guard(presenter);
        EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    }
    TPresenterGuard none(nullptr);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(PortPrompt, OkOnAnEmptyListIsDeclined) {
    UnregisterComPort(kPromptPort);
    auto presenter = std::make_shared<TScriptedPresenter>();
    TPresenterGuard guard(presenter);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_TRUE(presenter->seen.empty());
}

// ---------------------------------------------------------------------------------------------
// A successful open

TEST(PortOpen, OpensOnceAndAppliesTheSettings) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetBaud(9600);
    port.SetDTR(false);
    port.SetSWFlowOptions(swfBoth);
    port.SetXOnChar('A');
    port.SetXOffChar('B');
    port.SetTriggerLength(3);
    const int before = FakesCreated;
    port.SetOpen(true);
    port.SetOpen(true);
    EXPECT_EQ(FakesCreated, before + 1);
    TFakeDispatcher* fake = port.Fake();
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake->openedName, "\\\\.\\COM5");
    EXPECT_EQ(fake->device.BaudRate, 9600u);
    // Enabling software flow control installs DC1/DC3; the component's characters follow.
    EXPECT_EQ(fake->deviceControl.XonChar, 'A');
    EXPECT_EQ(fake->deviceControl.XoffChar, 'B');
    EXPECT_FALSE(fake->dtrLine);
    EXPECT_EQ(fake->availThreshold, 3u);
    EXPECT_TRUE(port.Open());
    EXPECT_NE(port.TriggerWindow(), 0u);

    port.SetOpen(false);
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    EXPECT_FALSE(IsWindow(port.TriggerWindow()));
}

// Users of the port learn about the open and the close last to first, then the events.
struct TNoticeLog {
    std::vector<std::string> entries;
    void Callback(TKvdCustomComPort*, bool opening) {
        entries.push_back(opening ? "callback open" : "callback close");
    }
    void Opened(TComponent*) { entries.push_back("OnPortOpen"); }
    void Closed(TComponent*) { entries.push_back("OnPortClose"); }
};

TNoticeLog* noticeLog = nullptr;

LRESULT NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == msgPortOpen || message == msgPortClose) {
        noticeLog->entries.push_back(message == msgPortOpen ? "window open" : "window close");
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

TEST(PortOpen, UsersAreToldLastToFirst) {
    TNoticeLog log;
    noticeLog = &log;
    RegisterClass(TWndClass{"PortNoticeWindow", NoticeWindowProc, 0});
    const HWND window = CreateWindow("PortNoticeWindow");
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.RegisterUserCallback(TPortCallback::Bind<&TNoticeLog::Callback>(&log));
    port.RegisterUser(window);
    port.SetOnPortOpen(TNotifyEvent::Bind<&TNoticeLog::Opened>(&log));
    port.SetOnPortClose(TNotifyEvent::Bind<&TNoticeLog::Closed>(&log));
    port.SetOpen(true);
    port.SetOpen(false);
    DestroyWindow(window);
    EXPECT_EQ(log.entries,
              (std::vector<std::string>{"window open", "callback open", "OnPortOpen",
                                        "window close", "callback close", "OnPortClose"}));
}

TEST(PortOpen, TraceAndLogStatesFollowTheOperations) {
    TScratchDir scratch;
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetLogName(scratch.File("dispatch.log"));
    port.SetOpen(true);
    TFakeDispatcher* fake = port.Fake();

    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetTracing(tlOn);
    EXPECT_TRUE(fake->trace.On());
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlPause);
    EXPECT_FALSE(fake->trace.On());
    port.SetTracing(tlClear);
    EXPECT_EQ(port.Tracing(), tlPause);
    port.SetTracing(tlOn);
    EXPECT_TRUE(fake->trace.On());
    port.SetTracing(tlOff);
    EXPECT_FALSE(fake->trace.Present());

    port.SetLogging(tlOn);
    EXPECT_TRUE(fake->dlog.On());
    port.AddStringToLog("marker");
    port.SetLogging(tlPause);
    EXPECT_FALSE(fake->dlog.On());
    port.SetLogging(tlDump);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_NE(scratch.Read("dispatch.log").find("marker"), std::string::npos);
}

// A NUL in a file name must not cut it to the name of another file: the dump fails like one
// to a file that cannot be opened, and the log's entries stay for a dump elsewhere.
TEST(PortOpen, DumpsToANameWithANulWriteNoFile) {
    TScratchDir scratch;
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    const std::string cut = scratch.File("cut");
    const std::string withNul = cut + std::string(1, '\0') + ".trc";
    using TDump = void (TKvdCustomComPort::*)(const std::string&, bool);
    for (TDump dump : {&TKvdCustomComPort::DumpTrace, &TKvdCustomComPort::AppendTrace}) {
        port.SetTracing(tlOn);
        port.AddTraceEntry('T', 'x');
        EXPECT_THROW((port.*dump)(withNul, false), EInOutError);
        EXPECT_EQ(port.Tracing(), tlOff);
    }
    port.SetTraceName(withNul);
    port.SetTracing(tlOn);
    port.AddTraceEntry('T', 'x');
    EXPECT_THROW(port.SetTracing(tlDump), EInOutError);

    port.SetLogging(tlOn);
    port.AddStringToLog("marker");
    for (TDump dump : {&TKvdCustomComPort::DumpLog, &TKvdCustomComPort::AppendLog}) {
        EXPECT_THROW((port.*dump)(withNul, false), EInOutError);
    }
    EXPECT_FALSE(std::filesystem::exists(cut));
    port.DumpLog(scratch.File("dispatch.log"), false);
    EXPECT_NE(scratch.Read("dispatch.log").find("marker"), std::string::npos);
}

// A log whose ring is still there (kept by a dump that could not write, or paused) records
// again once it is started anew, as the Logging property then says.
TEST(PortOpen, ALogStartedAgainOverItsKeptRingRecords) {
    TScratchDir scratch;
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    port.SetLogging(tlOn);
    port.AddStringToLog("first");
    EXPECT_THROW(port.DumpLog(scratch.File("missing/dispatch.log"), false), EInOutError);
    ASSERT_EQ(port.Logging(), tlOff);
    port.SetLogging(tlOn);
    EXPECT_TRUE(port.Fake()->dlog.On());
    port.AddStringToLog("second");
    port.SetLogging(tlPause);
    port.InitLogging(0);
    EXPECT_EQ(port.Logging(), tlOn);
    EXPECT_TRUE(port.Fake()->dlog.On());
    port.AddStringToLog("third");
    port.DumpLog(scratch.File("dispatch.log"), false);
    const std::string log = scratch.Read("dispatch.log");
    EXPECT_EQ(log.find("first"), std::string::npos);
    EXPECT_EQ(log.find("second"), std::string::npos);
    EXPECT_NE(log.find("third"), std::string::npos);
}

// The triggers a port change must keep: one data and one timer trigger, under their handles.
void ExpectOneDataAndOneTimerTrigger(const TKvdBaseDispatcher& d, uint16_t data, uint16_t timer) {
    ASSERT_EQ(d.dataTriggers.size(), 1u);
    EXPECT_EQ(d.dataTriggers[0].handle, data);
    ASSERT_EQ(d.timerTriggers.size(), 1u);
    EXPECT_EQ(d.timerTriggers[0].handle, timer);
}

TEST(PortOpenPty, ChangingThePortKeepsTriggersAndTracing) {
    TScratchDir scratch;
    TPtyPair first;
    TPtyPair second;
    ASSERT_EQ(PtyOpen(first), 0);
    ASSERT_EQ(PtyOpen(second), 0);
    ASSERT_EQ(RegisterComPort(5, first.SlavePath), 0);
    ASSERT_EQ(RegisterComPort(6, second.SlavePath), 0);
    {
        TTestPort port;
        port.SetComNumber(5);
        port.SetTraceName(scratch.File("first.trc"));
        port.SetTracing(tlOn);
        port.SetOpen(true);
        const uint16_t data = port.AddDataTrigger("OK", true);
        const uint16_t timer = port.AddTimerTrigger();
        port.PutString("AT");
        ASSERT_TRUE(PumpUntil(port, [&] { return port.OutBuffUsed() == 0; }));

        port.SetComNumber(6);
        ASSERT_EQ(port.PortState(), psOpen);
        TKvdBaseDispatcher* d = port.CurrentDispatcher();
        ExpectOneDataAndOneTimerTrigger(*d, data, timer);
        EXPECT_EQ(port.Tracing(), tlOn);
        EXPECT_TRUE(d->trace.On());
        EXPECT_NE(scratch.Read("first.trc").find("AT"), std::string::npos);
        // The port now listens on the second line.
        ASSERT_EQ(SerialWrite(second.Master, "OK", 2), 2);
        EXPECT_TRUE(port.WaitForString("OK", 36, false, false));
    }
    UnregisterComPort(5);
    UnregisterComPort(6);
    PtyClose(first);
    PtyClose(second);
}

// A user that sets up its trigger whenever the port opens keeps it across a change of port.
TEST(PortOpen, ChangingThePortKeepsTriggersAddedWhenItOpens) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    const uint16_t data = port.AddDataTrigger("OK", false);
    uint16_t timer = 0;
    port.SetOnPortOpen(TNotifyEvent(
        [](void* handle, TComponent* cp) {
            *static_cast<uint16_t*>(handle) = static_cast<TTestPort*>(cp)->AddTimerTrigger();
        },
        &timer));
    port.SetComNumber(6);
    ASSERT_EQ(port.PortState(), psOpen);
    ExpectOneDataAndOneTimerTrigger(*port.CurrentDispatcher(), data, timer);
}

// ---------------------------------------------------------------------------------------------
// A close asked for while the port is busy

class PortDeferredClose : public ::testing::Test {
public:
    TPortLine line{TLineKind::Pty};

    // The dispatch thread waits for this handler to return, so the close cannot complete
    // before it has.
    void OnAvail(TKvdCustomComPort*, uint16_t) {
        line.port.SetOnTriggerAvail({});
        line.port.SetOpen(false);
        openInHandler = line.port.Open();
        stateInHandler = line.port.PortState();
        if (reopenInHandler) {
            line.port.SetOpen(true);
            reopenPendingInHandler = line.port.ReopenPending();
            openAfterReopenRequest = line.port.Open();
        }
    }

    void CloseInAvailHandler() {
        line.Open();
        line.port.SetOnTriggerAvail(TTriggerAvailEvent::Bind<&PortDeferredClose::OnAvail>(this));
        line.Send("x");
    }

    bool reopenInHandler = false;
    bool openInHandler = true;
    TPortState stateInHandler = psOpen;
    bool reopenPendingInHandler = false;
    bool openAfterReopenRequest = true;
};

TEST_F(PortDeferredClose, CloseInsideAnAvailHandlerCompletesAfterTheHandler) {
    CloseInAvailHandler();
    EXPECT_TRUE(line.Deliver([&] { return line.port.PortState() == psClosed; }));
    EXPECT_FALSE(openInHandler);
    EXPECT_EQ(stateInHandler, psShuttingDown);
    EXPECT_EQ(line.port.CurrentDispatcher(), nullptr);
}

TEST_F(PortDeferredClose, OpenDuringTheCloseReopensWhenItCompletes) {
    reopenInHandler = true;
    CloseInAvailHandler();
    EXPECT_TRUE(line.Deliver(
        [&] { return stateInHandler == psShuttingDown && line.port.PortState() == psOpen; }));
    EXPECT_TRUE(reopenPendingInHandler);
    EXPECT_FALSE(openAfterReopenRequest);
    EXPECT_TRUE(line.port.Open());
    EXPECT_FALSE(line.port.ReopenPending());
}

// A user told of a close that completes at once asks for the port again. Nothing is left to
// reopen it later: a close of the next opening that has to wait must end closed.
TEST(PortDeferredCloseFake, AnOpenAskedForDuringAnImmediateCloseIsNotKeptForALaterOne) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    const TPortCallback reopen(
        [](void*, TKvdCustomComPort* cp, bool opening) {
            if (!opening) {
                cp->SetOpen(true);
            }
        },
        nullptr);
    port.RegisterUserCallback(reopen);
    port.SetOpen(false);
    port.DeregisterUserCallback(reopen);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.ReopenPending());

    port.SetOpen(true);
    TFakeDispatcher* fake = port.Fake();
    // The close waits for a notification that is running on the dispatcher's threads.
    fake->threadsActive = true;
    bool wasBusy = false;
    fake->SetEventBusy(wasBusy, true);
    port.SetOpen(false);
    ASSERT_EQ(port.PortState(), psShuttingDown);
    fake->SetEventBusy(wasBusy, false);
    fake->ThreadGone(nullptr); // the last thread ends and lets the close complete
    EXPECT_TRUE(PumpUntil(port, [&] { return port.PortState() != psShuttingDown; }));
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.Open());
}

// The close is asked for by a message that the wait's own message loop handles.
constexpr UINT msgCloseRequest = WM_USER + 1;
TTestPort* portToClose = nullptr;
TPortState stateAfterCloseRequest = psOpen;

LRESULT CloseRequestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != msgCloseRequest) {
        return DefWindowProc(window, message, wParam, lParam);
    }
    portToClose->SetOpen(false);
    stateAfterCloseRequest = portToClose->PortState();
    if (wParam != 0) {
        portToClose->SetOpen(true);
    }
    return 0;
}

class PortCloseDuringWait : public ::testing::TestWithParam<bool> {};

TEST_P(PortCloseDuringWait, TheWaitEndsAndTheCloseCompletesAfterIt) {
    const bool reopen = GetParam();
    TPortLine line(TLineKind::Pty);
    line.Open();
    RegisterClass(TWndClass{"PortCloseRequestWindow", CloseRequestWindowProc, 0});
    const HWND window = CreateWindow("PortCloseRequestWindow");
    portToClose = &line.port;
    PostMessage(window, msgCloseRequest, reopen ? 1 : 0, 0);
    const uint32_t started = KvTimeGetTime();
    EXPECT_FALSE(line.port.WaitForString("never", Secs2Ticks(10), true, false));
    EXPECT_LT(KvTimeGetTime() - started, 5000u);
    // Until the posted close message is handled the port reads as shutting down; the message
    // may already be handled inside the close when the threads ended at once.
    EXPECT_NE(stateAfterCloseRequest, psOpen);
    const TPortState expected = reopen ? psOpen : psClosed;
    EXPECT_TRUE(PumpUntil(line.port, [&] { return line.port.PortState() == expected; }));
    EXPECT_EQ(line.port.Open(), reopen);
    DestroyWindow(window);
}

INSTANTIATE_TEST_SUITE_P(Reopen, PortCloseDuringWait, ::testing::Bool());

// A break that yields handles messages; one of them closes the port, which then has no
// notification or wait to hold the close up.
TEST(PortCloseDuringBreak, TheBreakEndsWithoutTouchingTheClosedPort) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    port.SendBreak(1, false);
    port.SendBreak(1, true);
    EXPECT_EQ(port.Fake()->breaks, (std::vector<bool>{true, false, true, false}));
    RegisterClass(TWndClass{"PortCloseRequestWindow", CloseRequestWindowProc, 0});
    const HWND window = CreateWindow("PortCloseRequestWindow");
    portToClose = &port;
    PostMessage(window, msgCloseRequest, 0, 0);
    port.SendBreak(2, true);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    DestroyWindow(window);
}

// The window procedure must find nothing to route the posted close to once the component is
// gone.
TEST(PortDestruction, DestroyingTheComponentWhileItsCloseIsDeferredIsSafe) {
    auto* port = new TTestPort;
    port->SetActivationProc(ActivateFake);
    port->SetComNumber(5);
    port->SetOpen(true);
    TFakeDispatcher* fake = port->Fake();
    // A notification is running on the dispatcher's threads.
    fake->threadsActive = true;
    bool wasBusy = false;
    fake->SetEventBusy(wasBusy, true);
    port->SetOpen(false);
    ASSERT_EQ(port->PortState(), psShuttingDown);
    const HWND window = port->TriggerWindow();
    delete port;
    EXPECT_FALSE(IsWindow(window));
    ProcessMessages();
}

// ---------------------------------------------------------------------------------------------
// Real ports

TEST(PortOpenPty, MissingAndHeldPortsRaiseTheirCodes) {
    TTestPort missing;
    UnregisterComPort(TPortLine::PortNumber);
    missing.SetComNumber(TPortLine::PortNumber);
    EXPECT_THROW(missing.SetOpen(true), EBadId);

    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    ASSERT_EQ(RegisterComPort(TPortLine::PortNumber, pty.SlavePath), 0);
    TTestPort first;
    first.SetComNumber(TPortLine::PortNumber);
    first.SetOpen(true);
    TTestPort second;
    second.SetComNumber(TPortLine::PortNumber);
    EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
    EXPECT_EQ(second.PortState(), psClosed);
    first.SetOpen(false);
    UnregisterComPort(TPortLine::PortNumber);
    PtyClose(pty);
}

TEST(PortOpenPty, TracingBeforeOpeningIsWrittenAtClose) {
    TScratchDir scratch;
    TPortLine line(TLineKind::Pty);
    line.port.SetTraceName(scratch.File("KIVO.TRC"));
    scratch.Write("KIVO.TRC", "old contents");
    line.port.SetTracing(tlOn);
    line.Open();
    line.Feed("OK");
    EXPECT_TRUE(line.port.WaitForString("OK", 18, false, false));
    line.port.SetOpen(false);
    ASSERT_TRUE(PumpUntil(line.port, [&] { return line.port.PortState() == psClosed; }));
    EXPECT_EQ(line.port.Tracing(), tlOff);
    const std::string trace = scratch.Read("KIVO.TRC");
    EXPECT_EQ(trace.find("old contents"), std::string::npos);
    EXPECT_NE(trace.find("OK"), std::string::npos);
}

// The exit status of a child that must end on its own; a child that hangs is ended and counts
// as -1.
int ChildStatus(pid_t child) {
    const int status = WaitChildExit(child, 30000);
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return status;
}

// A port still open when the program ends (a global or static component) is used and closed by
// static destructors during exit, after the objects of the exiting thread are gone, and the
// close writes the trace.
TEST(PortOpenPty, APortStillOpenAtExitWorksAndIsClosedThere) {
    TScratchDir scratch;
    const std::string traceName = scratch.File("KIVO.TRC");
    // The child is a program of its own, with its own threads.
    const pid_t child = fork();
    if (child == 0) {
        static TPtyFarEnd farEnd;
        // A program's object that says goodbye to its device as the program ends.
        struct TFarewell {
            TTestPort port;
            ~TFarewell() {
                port.PutString("BYE");
                port.WaitForString("BYE", 36, false, false);
                DelayTicks(1, true);
            }
        };
        static TFarewell farewell;
        RegisterComPort(TPortLine::PortNumber, farEnd.SlavePath());
        farewell.port.SetComNumber(TPortLine::PortNumber);
        farewell.port.SetTraceName(traceName);
        farewell.port.SetTracing(tlOn);
        farewell.port.SetOpen(true);
        farewell.port.PutString("OK");
        std::exit(farewell.port.WaitForString("OK", 36, false, false) ? 0 : 1);
    }
    EXPECT_EQ(ChildStatus(child), 0);
    const std::string trace = scratch.Read("KIVO.TRC");
    EXPECT_NE(trace.find("OK"), std::string::npos);
    EXPECT_NE(trace.find("BYE"), std::string::npos);
}

// A child forked while the port is open that closes or destroys its copy (as exit does with a
// global port) ends at once and leaves the line, the trace and the log to the parent.
TEST(PortOpenPty, AForkedChildLeavesTheOpenPortToItsParent) {
    TScratchDir scratch;
    TPtyFarEnd farEnd;
    ASSERT_FALSE(farEnd.SlavePath().empty());
    ASSERT_EQ(RegisterComPort(TPortLine::PortNumber, farEnd.SlavePath()), 0);
    auto port = std::make_unique<TTestPort>();
    port->SetComNumber(TPortLine::PortNumber);
    port->SetTraceName(scratch.File("KIVO.TRC"));
    port->SetLogName(scratch.File("KIVO.LOG"));
    port->SetTracing(tlOn);
    port->SetLogging(tlOn);
    port->SetOpen(true);
    port->PutString("before");
    ASSERT_TRUE(port->WaitForString("before", 36, false, false));
    for (bool destroy : {false, true}) {
        const pid_t child = fork();
        if (child == 0) {
            if (destroy) {
                port.reset();
                _exit(0);
            }
            // Anything else is refused there as on a closed port, without waiting for the
            // missing threads or writing the parent's trace and log.
            int notOpen = 0;
            for (const auto& use : {+[](TTestPort& p) { p.FlushOutBuffer(); },
                                    +[](TTestPort& p) { p.SetTracing(tlDump); },
                                    +[](TTestPort& p) { p.SetLogging(tlAppend); }}) {
                try {
                    use(*port);
                } catch (const EKVDException& e) {
                    notOpen += e.ErrorCode == ecNotOpen ? 1 : 0;
                }
            }
            port->SetOpen(false);
            _exit(notOpen == 3 && port->PortState() == psClosed ? 0 : 1);
        }
        EXPECT_EQ(ChildStatus(child), 0) << (destroy ? "destroying" : "closing");
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.File("KIVO.TRC")));
    EXPECT_FALSE(std::filesystem::exists(scratch.File("KIVO.LOG")));
    port->PutString("after");
    EXPECT_TRUE(port->WaitForString("after", 36, false, false));
    port->SetOpen(false);
    const std::string trace = scratch.Read("KIVO.TRC");
    EXPECT_NE(trace.find("before"), std::string::npos);
    EXPECT_NE(trace.find("after"), std::string::npos);
    EXPECT_NE(scratch.Read("KIVO.LOG").find("after"), std::string::npos);
}

} // namespace
} // namespace kivo::testing
