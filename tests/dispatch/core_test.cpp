// The dispatcher's core on the in-memory device: the port list, opening and its failure exit,
// closing, line settings, the drain wait, thread bookkeeping.
#include "comm/dispatch/kwuser.h"
#include "comm/platform/clock.h"
#include "comm/platform/framework.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace kivo {
namespace {

using testing::TFakeDispatcher;

bool IsFake(TKvdBaseDispatcher* dispatcher) {
    return dynamic_cast<TFakeDispatcher*>(dispatcher) != nullptr;
}

bool IsNeverMatching(TKvdBaseDispatcher*) {
    return false;
}

TEST(PortList, ReusesFreedHandlesAndShrinksFromTheEnd) {
    auto first = std::make_unique<TFakeDispatcher>();
    auto second = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(first->portHandle, 0);
    EXPECT_EQ(second->portHandle, 1);

    first.reset();
    EXPECT_EQ(PortListCount(), 2);
    auto third = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(third->portHandle, 0);

    LockPortList();
    EXPECT_EQ(PortListEntry(0), third.get());
    EXPECT_EQ(PortListEntry(2), nullptr);
    EXPECT_EQ(PortListEntry(-1), nullptr);
    UnlockPortList();

    second.reset();
    EXPECT_EQ(PortListCount(), 1);
    third.reset();
    EXPECT_EQ(PortListCount(), 0);
}

TEST(PortList, FindsTheDispatcherOfAnOpenDevice) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    EXPECT_EQ(GetTComRecPtr(port.deviceId, IsFake), &port);
    EXPECT_EQ(GetTComRecPtr(port.deviceId, nullptr), &port);
    EXPECT_EQ(GetTComRecPtr(port.deviceId, IsNeverMatching), nullptr);
    EXPECT_EQ(GetTComRecPtr(-1, nullptr), nullptr);
}

TEST(PortList, CachedLookupFollowsAReusedDeviceHandle) {
    auto first = std::make_unique<TFakeDispatcher>();
    TFakeDispatcher second;
    ASSERT_EQ(first->Open(), 0);
    int32_t handle = first->deviceId;
    ASSERT_EQ(GetTComRecPtr(handle, IsFake), first.get());

    first->DonePort();
    EXPECT_EQ(GetTComRecPtr(handle, IsFake), nullptr);
    second.deviceId = handle; // the platform gave the closed device's handle to a new open
    EXPECT_EQ(GetTComRecPtr(handle, IsFake), &second);

    first.reset();
    second.deviceId = -1;
}

TEST(InitPort, OpensWithTheRequestedLineAndModemLines) {
    TFakeDispatcher port;
    port.device.BaudRate = 115200;
    ASSERT_EQ(port.InitPort("\\\\.\\COM3", 9600, dcbParityEven, 7, 2, 4096, 512, true, false), 0);
    EXPECT_EQ(port.openedName, "\\\\.\\COM3");
    EXPECT_EQ(port.setupInSize, 4096u);
    EXPECT_EQ(port.setupOutSize, 512u);
    EXPECT_NE(port.inBuffer, nullptr);
    EXPECT_NE(port.outBuffer, nullptr);
    EXPECT_EQ(port.outBufferSize, 512u);
    EXPECT_EQ(port.inQueueSize, 4096u);
    EXPECT_EQ(port.startCalls, 1);
    EXPECT_TRUE(port.dtrLine);
    EXPECT_FALSE(port.rtsLine);
    EXPECT_EQ(port.device.BaudRate, 9600u);
    EXPECT_EQ(port.device.Parity, dcbParityEven);
    EXPECT_EQ(port.device.ByteSize, 7);
    EXPECT_EQ(port.device.StopBits, dcbStopBitsTwo);
    EXPECT_EQ(port.currentBaud, 9600u);
    EXPECT_EQ(port.handleCounter, 1u);

    EXPECT_EQ(port.InitPort("\\\\.\\COM3", 9600, 0, 8, 1, 4096, 512, true, true), -2008);
}

TEST(InitPort, RejectsBadArguments) {
    TFakeDispatcher port;
    EXPECT_EQ(port.InitPort(nullptr, 9600, 0, 8, 1, 4096, 512, true, true), -1002);
    EXPECT_EQ(port.InitPort("COM1", 9600, 7, 8, 1, 4096, 512, true, true), -1002);
    EXPECT_EQ(port.InitPort("COM1", 9600, 0, 4, 1, 4096, 512, true, true), -1002);
    EXPECT_EQ(port.InitPort("COM1", -1, 0, 8, 1, 4096, 512, true, true), -1002);
    EXPECT_TRUE(port.openedName.empty());
}

struct OpenFailure {
    const char* what;
    void (*inject)(TFakeDispatcher&);
    int expected;
    int closes; // the device was opened and must be closed again
};

class InitPortFailure : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(InitPortFailure, ClosesAndFreesEverything) {
    TFakeDispatcher port;
    GetParam().inject(port);
    EXPECT_EQ(port.Open(), GetParam().expected);
    EXPECT_LT(port.deviceId, 0);
    EXPECT_EQ(port.inBuffer, nullptr);
    EXPECT_EQ(port.outBuffer, nullptr);
    EXPECT_EQ(port.closeCalls, GetParam().closes);
    EXPECT_EQ(port.startCalls, 0);
    char c = 'x';
    EXPECT_EQ(port.GetChar(c), -3007);
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, InitPortFailure,
    ::testing::Values(
        OpenFailure{"missing device", [](TFakeDispatcher& p) { p.openFailure = 2; }, -2, 0},
        OpenFailure{"port held", [](TFakeDispatcher& p) { p.openFailure = 5; }, -5, 0},
        OpenFailure{"no memory", [](TFakeDispatcher& p) { p.openOutOfMemory = true; }, -8, 0},
        OpenFailure{"queues", [](TFakeDispatcher& p) { p.setupFailure = 31; }, -31, 1},
        OpenFailure{"line",
                    [](TFakeDispatcher& p) {
                        p.device.BaudRate = 19200;
                        p.setStateFailure = 87;
                    },
                    -87, 1}));

TEST(DonePort, DuringANotificationLeavesTheRingsForTheDispatchThread) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    port.notifyBusy = true;
    port.DonePort();
    EXPECT_EQ(port.closeCalls, 1);
    EXPECT_TRUE(port.closePending);
    EXPECT_NE(port.inBuffer, nullptr);

    port.notifyBusy = false;
    port.DonePortPrim();
    EXPECT_EQ(port.inBuffer, nullptr);
    EXPECT_EQ(port.outBuffer, nullptr);
}

TEST(DonePort, FlushesBothDirectionsBeforeClosing) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    port.ScriptInput("pending");
    port.PutString("queued");
    port.threadsActive = true;
    port.DonePort();
    EXPECT_EQ(port.flushes, (std::vector<int>{0, 1}));
    EXPECT_EQ(port.InputLeft(), 0u);
    EXPECT_EQ(port.sent, "");
    EXPECT_EQ(port.stopCalls, 1);
    EXPECT_EQ(port.OutBuffUsed(), 0u);
}

TEST(BaseDispatcher, DeviceOperationsAreAbstract) {
    TKvdBaseDispatcher base(nullptr);
    uint8_t byte = 0;
    TDCB dcb;
    EXPECT_THROW(base.ReadCom(&byte, 1), EAbstractError);
    EXPECT_THROW(base.SetComState(dcb), EAbstractError);
    EXPECT_THROW(base.OpenCom("COM1", 1, 1), EAbstractError);
    EXPECT_THROW(base.StartDispatcher(), EAbstractError);
    EXPECT_EQ(base.InitSocket(4096, 4096), -3002);
}

TEST(SetLine, KeepsCurrentValuesAndWritesNothingWhenUnchanged) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    port.stateWrites.clear();
    EXPECT_EQ(port.SetLine(0, 5, 9, 3), 0);
    EXPECT_EQ(port.SetLine(9600, 0, 8, 1), 0);
    EXPECT_TRUE(port.stateWrites.empty());

    EXPECT_EQ(port.ChangeBaud(19200), 0);
    ASSERT_EQ(port.stateWrites.size(), 1u);
    EXPECT_EQ(port.device.BaudRate, 19200u);
    EXPECT_EQ(port.device.ByteSize, 8);
    EXPECT_EQ(port.device.StopBits, dcbStopBitsOne);
}

TEST(SetLine, FiveDataBitsTakeOneAndAHalfStopBits) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    for (int8_t stopBits : {int8_t{1}, int8_t{2}, int8_t{3}}) {
        EXPECT_EQ(port.SetLine(0, 5, 5, stopBits), 0);
        EXPECT_EQ(port.device.StopBits, dcbStopBitsOneHalf);
    }
    EXPECT_EQ(port.SetLine(0, 5, 8, 0), 0);
    EXPECT_EQ(port.device.StopBits, dcbStopBitsOne);
    EXPECT_EQ(port.SetLine(0, 5, 8, 7), 0);
    EXPECT_EQ(port.device.StopBits, dcbStopBitsTwo);
}

TEST(SetLine, ReportsTheDevicesRefusalAndKeepsTheOldRate) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    ASSERT_EQ(port.ChangeBaud(19200), 0);
    EXPECT_EQ(port.currentBaud, 19200u);
    port.setStateFailure = 87;
    EXPECT_EQ(port.SetLine(38400, 5, 9, 3), -87);
    EXPECT_EQ(port.currentBaud, 19200u);
    EXPECT_EQ(port.SetLine(9600, 9, 8, 1), -1002);
}

TEST(SetLine, WaitsForQueuedOutputToLeave) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    ASSERT_EQ(port.PutString("before the change"), 0);
    std::thread writer([&port] { port.DrainOutput(); });
    EXPECT_EQ(port.ChangeBaud(4800), 0);
    writer.join();
    EXPECT_EQ(port.sent, "before the change");
    EXPECT_EQ(port.device.BaudRate, 4800u);
}

// At 110 baud the UART's pause would be 1637 ms; it is owed only for bytes sent since the last.
TEST(SetLine, PausesForTheUartOnlyAfterASend) {
    using Clock = std::chrono::steady_clock;
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    const auto millisecondsOfChange = [&port](int32_t from, int32_t to) {
        port.device.BaudRate = static_cast<uint32_t>(from);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(port.ChangeBaud(to), 0);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    EXPECT_LT(millisecondsOfChange(110, 9600), 1000);

    ASSERT_EQ(port.PutString("x"), 0);
    EXPECT_EQ(port.DrainOutput(), "x");
    EXPECT_GE(millisecondsOfChange(9600, 19200), 19);
    EXPECT_LT(millisecondsOfChange(110, 9600), 1000);
}

TEST(GetLine, TranslatesRateCodes) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    port.device.BaudRate = 0xFF16;
    port.device.StopBits = dcbStopBitsOneHalf;
    int32_t baud = 0;
    uint16_t parity = 9;
    int8_t dataBits = 0;
    int8_t stopBits = 0;
    port.GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(parity, 0);
    EXPECT_EQ(dataBits, 8);
    EXPECT_EQ(stopBits, 2);

    EXPECT_EQ(TKvdBaseDispatcher::TranslateBaud(0xFEFF), 115200u);
    EXPECT_EQ(TKvdBaseDispatcher::TranslateBaud(0xFF27), 256000u);
    EXPECT_EQ(TKvdBaseDispatcher::TranslateBaud(0xFF19), 0xFF19u);
    EXPECT_EQ(TKvdBaseDispatcher::TranslateBaud(57600), 57600u);
}

TEST(WaitTxSent, AllowsEighteenCharactersToLeaveTheUart) {
    TDCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    EXPECT_EQ(TKvdBaseDispatcher::TxSentDelay(dcb), 19u); // 1041 * 10 * 18 = 187380
    dcb.BaudRate = 0xFF16;
    EXPECT_EQ(TKvdBaseDispatcher::TxSentDelay(dcb), 19u);
    dcb.Parity = dcbParityEven;
    dcb.StopBits = dcbStopBitsTwo;
    EXPECT_EQ(TKvdBaseDispatcher::TxSentDelay(dcb), 23u); // 1041 * 12 * 18
    dcb.BaudRate = 1000000;
    EXPECT_EQ(TKvdBaseDispatcher::TxSentDelay(dcb), 1u); // 2160 doubled
    dcb.BaudRate = 0;
    EXPECT_EQ(TKvdBaseDispatcher::TxSentDelay(dcb), 0u);
}

TEST(SetCommStateFix, DrivesTheLinesNotUnderFlowControl) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    TDCB dcb = port.device;
    dcb.Flags = dcb_DtrControlEnable | dcb_RtsControlHandshake;
    port.dtrOn = false;
    port.rtsOn = true;
    port.rtsByFlow = true;
    port.escapes.clear();
    EXPECT_EQ(port.SetCommStateFix(dcb), 0);
    EXPECT_EQ(port.device.Flags & dcb_DtrControlMask, 0u);
    EXPECT_EQ(port.device.Flags & dcb_RtsControlMask, dcb_RtsControlHandshake);
    EXPECT_EQ(port.escapes, std::vector<int>{escClrDtr});
}

class IdleThread : public TKvdDispatcherThread {
public:
    using TKvdDispatcherThread::TKvdDispatcherThread;

protected:
    void Execute() override {}
};

TEST(Threads, BoostRaisesThePrioritiesOfExistingThreads) {
    TFakeDispatcher port;
    IdleThread event(&port);
    IdleThread write(&port);
    port.eventThread = &event;
    port.writeThread = &write;
    port.SetThreadBoost(1);
    EXPECT_EQ(event.Priority(), tpHigher);
    EXPECT_EQ(write.Priority(), tpHigher);
    port.SetRS485Mode(true);
    EXPECT_EQ(write.Priority(), tpHighest);
    port.SetThreadBoost(200);
    EXPECT_EQ(event.Priority(), tpTimeCritical);
    EXPECT_EQ(write.Priority(), tpTimeCritical);
}

TEST(Threads, TheLastDispatchThreadFinishesAPendingClose) {
    TFakeDispatcher port;
    ASSERT_EQ(port.Open(), 0);
    IdleThread dispatch(&port);
    IdleThread write(&port);
    port.dispatchThread = &dispatch;
    port.writeThread = &write;
    port.threadCount = 2;
    port.threadsActive = true;
    port.donePending = true;

    port.ThreadGone(&write);
    EXPECT_EQ(port.writeThread, nullptr);
    EXPECT_NE(port.inBuffer, nullptr);
    EXPECT_TRUE(port.threadsActive);

    port.ThreadGone(&dispatch);
    EXPECT_EQ(port.dispatchThread, nullptr);
    EXPECT_EQ(port.inBuffer, nullptr);
    EXPECT_FALSE(port.donePending);
    EXPECT_FALSE(port.threadsActive);
    EXPECT_EQ(port.stopCalls, 1);
}

TEST(Threads, ArrivingInputWakesTheWaitingThread) {
    TFakeDispatcher port;
    port.NotifyInputArrived(); // nobody waits: nothing happens
    port.inputWaiter = GetCurrentThreadId();
    port.NotifyInputArrived();
    EXPECT_TRUE(WaitMessage(0));
}

// The message wait cannot see the application's end: it looks between ticks, and ends only on
// input, on the end, or at its own time-out, never at a tick.
TEST(Threads, AWaitForInputEndsAtItsTimeOutOrTheApplicationsEnd) {
    TFakeDispatcher port;
    port.inputWaiter = GetCurrentThreadId();
    const uint32_t start = timeGetTime();
    EXPECT_FALSE(port.WaitForInput(3 * kMillisecondsPerTick));
    EXPECT_GE(timeGetTime() - start, 3 * kMillisecondsPerTick);

    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SetApplicationTerminating(true);
    });
    EXPECT_FALSE(port.WaitForInput(INFINITE));
    stopper.join();
    SetApplicationTerminating(false);

    std::thread sender([&port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.NotifyInputArrived();
    });
    EXPECT_TRUE(port.WaitForInput(INFINITE));
    sender.join();
}

} // namespace
} // namespace kivo
