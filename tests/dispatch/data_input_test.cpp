// Reading the input ring: wrap-around, full rings, notification-read mode, flushing, and what
// the reads answer once the port is closed.
#include "comm/dispatch/kwuser.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo {
namespace {

using testing::TFakeDispatcher;

class InputRing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(), 0); }

    std::string Get(uint32_t length) {
        std::string bytes(length, '\0');
        int result = port.GetBlock(bytes.data(), length);
        return result < 0 ? "error " + std::to_string(result) : bytes;
    }

    TFakeDispatcher port;
};

TEST_F(InputRing, EmptyRingLeavesTheCharUntouched) {
    char c = 'x';
    EXPECT_FALSE(port.CharReady());
    EXPECT_EQ(port.GetChar(c), -3007);
    EXPECT_EQ(port.PeekChar(c, 1), -3007);
    EXPECT_EQ(c, 'x');
}

TEST_F(InputRing, FullRingGivesItsOldestByteAndIsNoLongerFull) {
    std::string all(InBufferSize, 'a');
    all[0] = 'F';
    port.LoadInput(100, all);
    ASSERT_TRUE(port.inputFull);
    EXPECT_EQ(port.InBuffUsed(), InBufferSize);
    EXPECT_EQ(port.InBuffFree(), 0u);
    char c = 0;
    EXPECT_EQ(port.GetBlock(&c, 0), 0);
    EXPECT_TRUE(port.inputFull);
    EXPECT_EQ(port.InBuffUsed(), InBufferSize);
    EXPECT_EQ(port.GetChar(c), 0);
    EXPECT_EQ(c, 'F');
    EXPECT_FALSE(port.inputFull);
    EXPECT_EQ(port.InBuffUsed(), InBufferSize - 1);
    EXPECT_EQ(port.InBuffFree(), 1u);
}

TEST_F(InputRing, ReadsWrapAtTheEndOfTheRing) {
    port.LoadInput(8191, "xy");
    char c = 0;
    EXPECT_EQ(port.GetChar(c), 0);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(port.inTail, 0u);

    port.LoadInput(8186, "0123456789");
    EXPECT_EQ(Get(11), "error -3007");
    EXPECT_EQ(port.inTail, 8186u);
    char peeked[10];
    EXPECT_EQ(port.PeekBlock(peeked, 10), 10);
    EXPECT_EQ(std::string(peeked, 10), "0123456789");
    EXPECT_EQ(port.PeekChar(c, 7), 0);
    EXPECT_EQ(c, '6');
    EXPECT_EQ(Get(10), "0123456789");
    EXPECT_EQ(port.inTail, 4u);
    EXPECT_FALSE(port.CharReady());
}

TEST_F(InputRing, RejectsIndexesAndBuffersOutsideTheData) {
    port.LoadInput(0, "abc");
    char c = 'x';
    EXPECT_EQ(port.PeekChar(c, 0), -3007);
    EXPECT_EQ(port.PeekChar(c, 4), -3007);
    EXPECT_EQ(port.PeekChar(c, UINT32_MAX), -3007);
    EXPECT_EQ(port.GetBlock(nullptr, 2), -1002);
    EXPECT_EQ(port.PeekBlock(nullptr, 2), -1002);
    EXPECT_EQ(port.GetBlock(&c, InBufferSize + 1), -3007);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(port.InBuffUsed(), 3u);
}

TEST_F(InputRing, NotificationReadsLeaveTheReadPositionAlone) {
    port.LoadInput(8190, "0123456789");
    port.inDataNotify = true;
    TNotificationReader handler(port);
    port.handlerRead = 8;
    EXPECT_EQ(Get(5), "error -3007");
    EXPECT_EQ(port.handlerRead, 8u);
    EXPECT_EQ(Get(2), "89");
    EXPECT_EQ(port.handlerRead, 10u);
    EXPECT_EQ(port.inTail, 8190u);
    EXPECT_FALSE(port.CharReady());
    EXPECT_EQ(port.InBuffUsed(), 0u);
    EXPECT_EQ(port.InBuffFree(), InBufferSize);

    port.handlerRead = 0;
    char c = 0;
    EXPECT_EQ(port.GetChar(c), 0);
    EXPECT_EQ(port.PeekChar(c, 1), 0);
    EXPECT_EQ(c, '1');
    EXPECT_EQ(port.handlerRead, 1u);
    EXPECT_EQ(port.InBuffUsed(), 9u);
    EXPECT_TRUE(port.CharReady());
}

TEST_F(InputRing, NotificationReadsOfAFullRingStopAtItsSize) {
    port.LoadInput(0, std::string(InBufferSize, 'z'));
    port.inDataNotify = true;
    TNotificationReader handler(port);
    port.handlerRead = InBufferSize - 1;
    EXPECT_TRUE(port.CharReady());
    char c = 0;
    EXPECT_EQ(port.GetChar(c), 0);
    EXPECT_FALSE(port.CharReady());
    EXPECT_EQ(port.GetChar(c), -3007);
    EXPECT_EQ(port.handlerRead, InBufferSize);
}

TEST_F(InputRing, FlushDropsBufferedAndDriverInput) {
    port.LoadInput(8000, "stale bytes");
    port.ScriptInput("in the driver");
    TDataTrigger trigger{};
    trigger.length = 3;
    trigger.matchSlots[0] = 2;
    port.dataTriggers.push_back(trigger);

    EXPECT_EQ(port.FlushInBuffer(), 0);
    EXPECT_EQ(port.InBuffUsed(), 0u);
    EXPECT_EQ(port.InputLeft(), 0u);
    EXPECT_EQ(port.dataTriggers[0].matchSlots[0], 0u);
}

TEST_F(InputRing, FlushDuringANotificationDropsTheBytesWhenItEnds) {
    port.LoadInput(0, "0123456789");
    port.inDataNotify = true;
    port.handlerRead = 4;
    EXPECT_EQ(port.FlushInBuffer(), 0);
    EXPECT_EQ(port.maxHandlerRead, 10u);
    EXPECT_EQ(port.inTail, 0u);
}

TEST_F(InputRing, TracesWhatTheApplicationTakesAndSends) {
    testing::TScratchDir dir;
    ASSERT_EQ(port.InitTracing(100), 0);
    ASSERT_EQ(port.PutString("US"), 0);
    port.LoadInput(0, "OK\r");
    char c = 0;
    ASSERT_EQ(port.GetChar(c), 0);
    EXPECT_EQ(Get(2), "K\r");
    ASSERT_EQ(port.DumpTrace(dir.File("KIVO.TRC").c_str(), false, false), 0);
    EXPECT_EQ(dir.Read("KIVO.TRC"), "Transmit: \r\nUS\r\n\r\nReceive: \r\nOK[13]");
}

TEST(ClosedDispatcher, AnswersEveryOperationWithoutTouchingTheRings) {
    for (bool opened : {false, true}) {
        TFakeDispatcher port;
        if (opened) {
            ASSERT_EQ(port.Open(), 0);
            port.DonePort();
        }
        char c = 'x';
        char block[4];
        EXPECT_FALSE(port.CharReady());
        EXPECT_EQ(port.GetChar(c), -3007);
        EXPECT_EQ(port.PeekChar(c, 1), -3007);
        EXPECT_EQ(port.GetBlock(block, 4), -3007);
        EXPECT_EQ(port.PeekBlock(block, 4), -3007);
        EXPECT_EQ(port.InBuffUsed(), 0u);
        EXPECT_EQ(port.InBuffFree(), 0u);
        EXPECT_EQ(port.FlushInBuffer(), -2007);
        EXPECT_EQ(port.PutString("data"), -2007);
        EXPECT_EQ(port.PutChar('d'), -2007);
        EXPECT_EQ(port.OutBuffUsed(), 0u);
        EXPECT_EQ(port.OutBuffFree(), 0u);
        EXPECT_EQ(port.FlushOutBuffer(), -2007);
        EXPECT_EQ(port.SetLine(19200, 0, 8, 1), -2007);
        EXPECT_EQ(port.SWFlowDisable(), -2007);
        EXPECT_EQ(port.SWFlowChars('a', 'b'), -2007);
        EXPECT_EQ(port.HWFlowOptions(0, 0, 0), -2007);
        EXPECT_EQ(port.GetLineError(), 0);
        EXPECT_EQ(c, 'x');
        port.WaitTxSent();
    }
}

} // namespace
} // namespace kivo
