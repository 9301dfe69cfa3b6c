// Queueing output: the ring's free space, wrap-around, refused and failed writes, flushing.
#include "comm/dispatch/kwuser.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo {
namespace {

using testing::TFakeDispatcher;

class OutputRing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(100), 0); }

    TFakeDispatcher port;
};

TEST_F(OutputRing, ExactlyTheFreeSpaceFillsTheRing) {
    ASSERT_EQ(port.PutString(std::string(40, 'a')), 0);
    EXPECT_EQ(port.OutBuffFree(), 60u);
    EXPECT_EQ(port.PutString(std::string(60, 'b')), 0);
    EXPECT_TRUE(port.outFull);
    EXPECT_EQ(port.OutBuffUsed(), 100u);
    EXPECT_EQ(port.OutBuffFree(), 0u);
    EXPECT_EQ(port.DrainOutput(), std::string(40, 'a') + std::string(60, 'b'));
    EXPECT_FALSE(port.outFull);
    EXPECT_EQ(port.OutBuffUsed(), 0u);
}

TEST_F(OutputRing, OneByteTooManyWritesNothing) {
    ASSERT_EQ(port.PutString(std::string(40, 'a')), 0);
    port.outputSentFlag = false;
    EXPECT_EQ(port.PutString(std::string(61, 'b')), -3006);
    EXPECT_EQ(port.OutBuffUsed(), 40u);
    EXPECT_FALSE(port.outFull);
    EXPECT_FALSE(port.outputSentFlag);
    EXPECT_EQ(port.PutBlock(nullptr, 1), -1002);
    EXPECT_FALSE(port.StoreOutput(nullptr, 1));
    EXPECT_EQ(port.OutBuffUsed(), 40u);
}

TEST_F(OutputRing, EmptyBlockTouchesNeitherDeviceNorStatus) {
    port.pendingLineErrors = CE_FRAME;
    EXPECT_EQ(port.PutBlock("x", 0), 0);
    EXPECT_EQ(port.PutString(""), 0);
    EXPECT_EQ(port.pendingLineErrors, CE_FRAME);
    EXPECT_FALSE(port.outputSentFlag);
}

TEST_F(OutputRing, BlocksWrapAroundTheEndInOrder) {
    ASSERT_EQ(port.PutString(std::string(95, '.')), 0);
    port.DrainOutput(90);
    ASSERT_EQ(port.PutString("0123456789"), 0);
    EXPECT_EQ(port.outHead, 5u);
    EXPECT_EQ(port.DrainOutput(), ".....0123456789");

    port.outHead = 90;
    port.outTail = 90;
    ASSERT_EQ(port.PutString("0123456789"), 0);
    EXPECT_EQ(port.outHead, 0u);
    EXPECT_EQ(port.DrainOutput(), "0123456789");
}

TEST_F(OutputRing, FailedWriteIsReportedAndLeavesTheRingAsItWas) {
    port.writeResult = -3;
    EXPECT_EQ(port.PutString(std::string(100, 'x')), -3004);
    EXPECT_FALSE(port.outFull);
    EXPECT_EQ(port.OutBuffUsed(), 0u);
    EXPECT_TRUE(port.outputSentFlag);
}

TEST_F(OutputRing, WritingKeepsLineErrorsNotYetCollected) {
    port.pendingLineErrors = CE_BREAK;
    port.RefreshStatus();
    port.pendingLineErrors = CE_OVERRUN;
    ASSERT_EQ(port.PutChar('x'), 0);
    EXPECT_EQ(port.GetLineError(), 2);
    EXPECT_TRUE(port.CheckLineBreak());
}

TEST_F(OutputRing, FlushDropsQueuedBytes) {
    ASSERT_EQ(port.PutString(std::string(100, 'q')), 0);
    EXPECT_EQ(port.FlushOutBuffer(), 0);
    EXPECT_EQ(port.OutBuffUsed(), 0u);
    EXPECT_FALSE(port.outFull);
    EXPECT_EQ(port.DrainOutput(), "");
    ASSERT_EQ(port.PutString("after"), 0);
    EXPECT_EQ(port.DrainOutput(), "after");
}

} // namespace
} // namespace kivo
