// The port component's settings on a closed port and on the in-memory device layer: defaults,
// the flow-control marks, RS-485, the size caps, the trace state machine, users, Assign,
// loading and the lookups.
#include <gtest/gtest.h>

#include "comm/errors/kvexcept.h"
#include "comm/platform/winmsg.h"
#include "tests/port/port_harness.h"

namespace kivo::testing {
namespace {

TEST(PortSettings, NewComponentHasThePublishedDefaults) {
    TTestPort port;
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_TRUE(port.PromptForPort());
    EXPECT_EQ(port.Parity(), pNone);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_EQ(port.InSize(), 4096);
    EXPECT_EQ(port.OutSize(), 4096);
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(port.RTS());
    EXPECT_TRUE(port.HWFlowOptions().Empty());
    EXPECT_EQ(port.SWFlowOptions(), swfNone);
    EXPECT_EQ(port.XOnChar(), 17);
    EXPECT_EQ(port.XOffChar(), 19);
    EXPECT_EQ(port.BufferFull(), 0);
    EXPECT_EQ(port.BufferResume(), 0);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.TraceSize(), 10000u);
    EXPECT_EQ(port.TraceName(), "KIVO.TRC");
    EXPECT_TRUE(port.TraceHex());
    EXPECT_FALSE(port.TraceAllHex());
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(port.LogSize(), 10000u);
    EXPECT_EQ(port.LogName(), "KIVO.LOG");
    EXPECT_TRUE(port.LogHex());
    EXPECT_FALSE(port.LogAllHex());
    EXPECT_TRUE(port.UseMSRShadow());
    EXPECT_TRUE(port.UseEventWord());
    EXPECT_EQ(port.CommNotificationLevel(), 10);
    EXPECT_EQ(port.TapiMode(), tmAuto);
    EXPECT_FALSE(port.RS485Mode());
    EXPECT_EQ(port.ThreadBoost(), tbNone);
    EXPECT_EQ(port.TriggerLength(), 1);
    EXPECT_EQ(port.Version(), "v3.01");
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    EXPECT_EQ(port.UserCount(), 0u);
    EXPECT_EQ(port.InBuffFree(), 8192);
    EXPECT_EQ(port.OutBuffFree(), 4096);
}

TEST(PortSettings, FlowControlDerivesTheBufferMarksFromInSize) {
    TTestPort hardware;
    hardware.SetHWFlowOptions({hwfUseRTS});
    EXPECT_EQ(hardware.BufferFull(), 3686);
    EXPECT_EQ(hardware.BufferResume(), 409);

    TTestPort software;
    software.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(software.BufferFull(), 3072);
    EXPECT_EQ(software.BufferResume(), 1024);

    TTestPort marks;
    marks.SetBufferFull(5000);
    EXPECT_EQ(marks.BufferFull(), 3686);
    marks.SetBufferResume(4000);
    EXPECT_EQ(marks.BufferResume(), 368);
    // Marks that were set keep their values when flow control is switched on later.
    marks.SetHWFlowOptions({hwfRequireCTS});
    EXPECT_EQ(marks.BufferFull(), 3686);
    EXPECT_EQ(marks.BufferResume(), 368);
}

// The component's flow characters stay on the line when software flow control changes on an
// open port, or is written again for new buffer marks.
TEST(PortSettings, FlowCharactersSurviveSoftwareFlowChangesOnAnOpenPort) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetSWFlowOptions(swfBoth);
    port.SetXOnChar('A');
    port.SetXOffChar('B');
    port.SetOpen(true);
    port.SetSWFlowOptions(swfTransmit);
    EXPECT_EQ(port.Fake()->device.XonChar, 'A');
    EXPECT_EQ(port.Fake()->device.XoffChar, 'B');
    port.SetBufferFull(2000);
    EXPECT_EQ(port.Fake()->device.XonChar, 'A');
    EXPECT_EQ(port.Fake()->device.XoffChar, 'B');
    port.SetSWFlowOptions(swfNone);
    port.SetSWFlowOptions(swfReceive);
    EXPECT_EQ(port.Fake()->device.XonChar, 'A');
    EXPECT_EQ(port.Fake()->device.XoffChar, 'B');
    EXPECT_EQ(port.Fake()->device.Flags & (dcb_InX | dcb_OutX), dcb_InX);
}

TEST(PortSettings, RS485ExcludesRtsCtsFlowControl) {
    TTestPort port;
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireDSR});
    port.SetRS485Mode(true);
    EXPECT_EQ(port.HWFlowOptions(), THWFlowOptionSet({hwfRequireDSR}));
    EXPECT_FALSE(port.RTS());

    port.SetHWFlowOptions({hwfRequireCTS});
    EXPECT_FALSE(port.RS485Mode());
}

TEST(PortSettings, RS485OnAnOpenPortLetsTheDriverSwitchRts) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    port.SetRS485Mode(true);
    EXPECT_EQ(port.Fake()->device.Flags & dcb_RtsControlMask, dcb_RtsControlToggle);
    port.SetOpen(false);
    port.SetOpen(true);
    EXPECT_EQ(port.Fake()->device.Flags & dcb_RtsControlMask, dcb_RtsControlToggle);
    port.SetRS485Mode(false);
    EXPECT_NE(port.Fake()->device.Flags & dcb_RtsControlMask, dcb_RtsControlToggle);
    port.SetRTS(true);
    EXPECT_TRUE(port.Fake()->rtsLine);
    EXPECT_TRUE(port.RTS());

    // RTS flow control asked for in RS-485 mode ends the mode and gets its handshake.
    port.SetRS485Mode(true);
    port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_FALSE(port.RS485Mode());
    EXPECT_EQ(port.Fake()->device.Flags & dcb_RtsControlMask, dcb_RtsControlHandshake);
}

// Entering the mode on an open port lowers RTS as on a closed one: the driver raises it only
// while it sends, and it stays low when the mode is left.
TEST(PortSettings, RS485OnAnOpenPortLowersRts) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    ASSERT_TRUE(port.RTS());
    port.SetRS485Mode(true);
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(port.Fake()->device.Flags & dcb_RtsControlMask, dcb_RtsControlToggle);
    port.SetRS485Mode(false);
    EXPECT_FALSE(port.RTS());
    EXPECT_FALSE(port.Fake()->rtsLine);
}

TEST(PortSettings, SizesAndNamesAreCapped) {
    TTestPort port;
    port.SetTraceSize(5000000);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetTraceName(std::string(300, 'x'));
    EXPECT_EQ(port.TraceName().size(), 255u);
}

// A size the trace refuses must not stay behind: every later open that starts the trace
// would be refused too.
TEST(PortSettings, InitTracingAndInitLoggingKeepTheSizeCaps) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(5);
    port.SetOpen(true);
    EXPECT_THROW(port.InitTracing(5000000), EBadArgument);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.InitLogging(20000000);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.AbortLogging();
    port.SetOpen(false);

    port.SetTracing(tlOn);
    EXPECT_NO_THROW(port.SetOpen(true));
    EXPECT_EQ(port.Tracing(), tlOn);
    port.SetTracing(tlOff);
}

TEST(PortSettings, AClosedPortKeepsOnlyOnOrOffAsTraceState) {
    TTestPort port;
    port.SetTracing(tlDump);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetTracing(tlOn);
    EXPECT_EQ(port.Tracing(), tlOn);
    port.SetLogging(tlPause);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
}

TEST(PortSettings, DeviceLayerChangesOnlyToAnAcceptedLayer) {
    TTestPort port;
    port.SetDeviceLayer(dlWinsock);
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    // Ordinals past the enumeration, as a layout or a cast may bring, are in no set.
    port.SetDeviceLayer(static_cast<TDeviceLayer>(dlWin32 + 32));
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    EXPECT_FALSE(THWFlowOptionSet::FromBits(0xFF).Contains(static_cast<THWFlowOptions>(35)));
    EXPECT_TRUE((THWFlowOptionSet{static_cast<THWFlowOptions>(200)}).Empty());
}

// ---------------------------------------------------------------------------------------------
// Users

struct TCallbackRecorder {
    void Called(TKvdCustomComPort*, bool opening) { calls.push_back(opening); }
    std::vector<bool> calls;
};

TEST(PortUsers, CallbackDeregistrationComparesTheRoutineOnly) {
    TTestPort port;
    TCallbackRecorder first;
    TCallbackRecorder second;
    port.RegisterUserCallback(TPortCallback::Bind<&TCallbackRecorder::Called>(&first));
    port.RegisterUser(1234);
    port.RegisterUserCallback(TPortCallback::Bind<&TCallbackRecorder::Called>(&second));
    ASSERT_EQ(port.UserCount(), 3u);

    TCallbackRecorder other;
    port.DeregisterUserCallback(TPortCallback::Bind<&TCallbackRecorder::Called>(&other));
    EXPECT_EQ(port.UserCount(), 1u);
    port.DeregisterUser(0);
    EXPECT_EQ(port.UserCount(), 1u);
    port.DeregisterUser(1234);
    EXPECT_EQ(port.UserCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Assign, loading, lookups

void NoTrigger(TKvdCustomComPort*, uint16_t, uint16_t, uint16_t) {}
void NoWaitChar(TKvdCustomComPort*, char) {}

TEST(PortAssign, CopiesSettingsUsersAndTheFirstTriggerEvents) {
    TTestPort source;
    source.SetComNumber(7);
    source.SetBaud(9600);
    source.SetSWFlowOptions(swfBoth);
    source.SetTracing(tlOn);
    source.SetTraceName("copy.trc");
    source.SetUseEventWord(false);
    source.RegisterUser(55);
    source.SetOnTrigger(TTriggerEvent::Bind<&NoTrigger>());
    source.SetOnWaitChar(TWaitCharEvent::Bind<&NoWaitChar>());

    TTestPort target;
    target.Assign(&source);
    EXPECT_EQ(target.ComNumber(), 7);
    EXPECT_EQ(target.Baud(), 9600);
    EXPECT_EQ(target.SWFlowOptions(), swfBoth);
    EXPECT_EQ(target.BufferFull(), 3072);
    EXPECT_EQ(target.Tracing(), tlOn);
    EXPECT_EQ(target.TraceName(), "copy.trc");
    EXPECT_EQ(target.UserCount(), 1u);
    EXPECT_TRUE(static_cast<bool>(target.OnTrigger()));
    EXPECT_FALSE(static_cast<bool>(target.OnWaitChar()));
    EXPECT_TRUE(target.UseEventWord());
    EXPECT_FALSE(target.Open());
}

TEST(PortAssign, ASourceThatIsNoPortChangesNothing) {
    TTestPort target;
    TComponent other;
    target.Assign(&other);
    target.Assign(nullptr);
    EXPECT_EQ(target.Baud(), 19200);
}

TEST(PortAssign, TakesOverTheTriggersOfAnOpenSource) {
    TTestPort source;
    source.SetActivationProc(ActivateFake);
    source.SetComNumber(3);
    source.SetOpen(true);
    const uint16_t handle = source.AddTimerTrigger();

    TTestPort target;
    target.SetActivationProc(ActivateFake);
    target.Assign(&source);
    target.SetOpen(true);
    ASSERT_EQ(target.Fake()->timerTriggers.size(), 1u);
    EXPECT_EQ(target.Fake()->timerTriggers[0].handle, handle);
}

TEST(PortLoading, OpenWhileLoadingWaitsForLoaded) {
    TTestPort port;
    port.SetActivationProc(ActivateFake);
    port.SetComNumber(2);
    port.BeginLoading();
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    port.Loaded();
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_FALSE(port.OpenPending());
}

TEST(PortLoading, AFailedOpenAfterLoadingIsShownAndLeavesThePortClosed) {
    std::string shown;
    ExceptionDisplay previous =
        SetExceptionDisplay([&](const std::exception& e) { shown = e.what(); });
    TTestPort port;
    port.SetPromptForPort(false);
    port.BeginLoading();
    port.ForcePortOpen();
    port.Loaded();
    SetExceptionDisplay(previous);
    EXPECT_EQ(shown, "The ComNumber property of the TKvdComPort has not been set");
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST(PortLookups, ComNameAndSearchComPort) {
    EXPECT_EQ(TKvdCustomComPort::ComName(0), "COM0");
    EXPECT_EQ(TKvdCustomComPort::ComName(12), "COM12");

    TComponent form;
    auto* panel = new TComponent(&form);
    new TComponent(panel);
    auto* nested = new TTestPort(panel);
    auto* later = new TTestPort(&form);
    EXPECT_EQ(TKvdCustomComPort::SearchComPort(&form), nested);
    EXPECT_EQ(TKvdCustomComPort::SearchComPort(later), nullptr);
    EXPECT_EQ(TKvdCustomComPort::SearchComPort(nullptr), nullptr);
}

} // namespace
} // namespace kivo::testing
