// Line errors, the modem-status shadow, DTR and RTS, flow control, caller pointers.
#include "comm/dispatch/kwuser.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

using testing::TFakeDispatcher;

class PortStatus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.Open(), 0);
        port.escapes.clear();
    }

    void Collect(uint32_t lineErrors) {
        port.pendingLineErrors = lineErrors;
        port.RefreshStatus();
    }

    TFakeDispatcher port;
};

TEST_F(PortStatus, LineErrorsComeOutInOrderAndClearTogether) {
    Collect(CE_OVERRUN | CE_FRAME);
    EXPECT_EQ(port.GetLineError(), 2);
    EXPECT_EQ(port.GetLineError(), 0);

    Collect(CE_RXPARITY | CE_FRAME);
    EXPECT_EQ(port.GetLineError(), 3);
    Collect(CE_RXOVER | CE_OVERRUN);
    EXPECT_EQ(port.GetLineError(), 1);
}

TEST_F(PortStatus, BreakStaysUntilCheckedSeparately) {
    Collect(CE_BREAK | CE_FRAME | 0x400);
    EXPECT_EQ(port.GetLineError(), 4);
    EXPECT_EQ(port.GetLineError(), 9);
    EXPECT_EQ(port.GetLineError(), 9);
    EXPECT_TRUE(port.CheckLineBreak());
    EXPECT_FALSE(port.CheckLineBreak());
    EXPECT_EQ(port.GetLineError(), 0);
    EXPECT_EQ(port.lineErrors, 0u);
}

TEST_F(PortStatus, EachModemCheckClearsOnlyItsOwnChangedBit) {
    port.deviceModemStatus = ms_CtsOn | ms_RlsdOn;
    port.modemStatus = 0x0F;
    EXPECT_TRUE(port.CheckCTS());
    EXPECT_EQ(port.modemStatus, 0x9Eu);
    EXPECT_TRUE(port.CheckDeltaDCD());
    EXPECT_EQ(port.modemStatus, 0x96u);
    EXPECT_FALSE(port.CheckDSR());
    EXPECT_EQ(port.modemStatus, 0x94u);
    EXPECT_EQ(port.GetModemStatus(), 0x94);
    EXPECT_EQ(port.modemStatus, 0x90u);
}

TEST_F(PortStatus, RingAndLineChangesBecomeChangedBits) {
    port.deviceModemStatus = ms_CtsOn | ms_DsrOn;
    port.GetModemStatus();
    port.deviceModemStatus = ms_DsrOn | ms_RlsdOn;
    port.ringEdge = true;
    port.MapEventsToMS(ev_Cts | ev_Rlsd | ev_Ring);
    EXPECT_FALSE(port.ringEdge);
    EXPECT_EQ(port.GetModemStatus(), ms_DsrOn | ms_RlsdOn | 0x01 | 0x04 | 0x08);
    EXPECT_FALSE(port.CheckDeltaRI());
}

TEST_F(PortStatus, LinesUnderFlowControlAreLeftToTheDriver) {
    EXPECT_EQ(port.SetDtr(false), 0);
    EXPECT_FALSE(port.dtrLine);
    port.dtrByFlow = true;
    EXPECT_EQ(port.SetDtr(true), 1);
    EXPECT_FALSE(port.dtrOn);
    EXPECT_EQ(port.SetModem(true, false), 1);
    EXPECT_EQ(port.escapes, std::vector<int>{escClrDtr});

    port.escapeResult = -6;
    EXPECT_EQ(port.SetRts(false), -1002);
    EXPECT_FALSE(port.rtsOn);
}

TEST_F(PortStatus, HardwareFlowChecksItsMarks) {
    EXPECT_EQ(port.HWFlowOptions(100, 200, 0), -1002);
    EXPECT_EQ(port.HWFlowOptions(4097, 0, 0), -1002);
    EXPECT_TRUE(port.stateWrites.empty());
}

TEST_F(PortStatus, HardwareFlowWritesTheControlBlock) {
    ASSERT_EQ(port.HWFlowOptions(3000, 1000, 1 | 8), 0);
    EXPECT_EQ(port.device.Flags & dcb_DtrControlMask, dcb_DtrControlHandshake);
    EXPECT_EQ(port.device.Flags & dcb_RtsControlMask, dcb_RtsControlEnable);
    EXPECT_EQ(port.device.Flags & (dcb_OutxCtsFlow | dcb_OutxDsrFlow), dcb_OutxCtsFlow);
    EXPECT_EQ(port.device.XoffLim, 4096 - 3000);
    EXPECT_EQ(port.device.XonLim, 1000);
    EXPECT_TRUE(port.dtrByFlow);
    EXPECT_FALSE(port.rtsByFlow);

    port.SetRS485Mode(true);
    ASSERT_EQ(port.HWFlowOptions(3000, 1000, 0), 0);
    EXPECT_EQ(port.device.Flags & dcb_RtsControlMask, dcb_RtsControlToggle);
    EXPECT_EQ(port.device.Flags & dcb_DtrControlMask, dcb_DtrControlEnable);
    EXPECT_TRUE(port.rtsByFlow);

    uint32_t hw = 99, sw = 99, full = 7, resume = 7;
    char on = 0, off = 0;
    ASSERT_EQ(port.GetFlowOptions(hw, sw, full, resume, on, off), 0);
    EXPECT_EQ(hw, 0u);
    EXPECT_EQ(sw, 0u);
    EXPECT_EQ(full, 7u);
}

TEST_F(PortStatus, HardwareFlowStateShowsWhichLineHoldsTheOutput) {
    EXPECT_EQ(port.HWFlowState(), 1);
    ASSERT_EQ(port.HWFlowOptions(3000, 1000, 8), 0);
    EXPECT_EQ(port.HWFlowState(), 2);
    port.statusFlags = comstat_CtsHold;
    EXPECT_EQ(port.HWFlowState(), 4);

    ASSERT_EQ(port.HWFlowOptions(3000, 1000, 2 | 4 | 8), 0);
    port.statusFlags = comstat_DsrHold;
    EXPECT_EQ(port.HWFlowState(), 3);
    port.statusFlags = comstat_DsrHold | comstat_CtsHold;
    EXPECT_EQ(port.HWFlowState(), 4);
}

TEST_F(PortStatus, SoftwareFlowControl) {
    ASSERT_EQ(port.SWFlowEnable(3000, 1000, 1 | 2), 0);
    EXPECT_EQ(port.device.Flags & (dcb_InX | dcb_OutX), dcb_InX | dcb_OutX);
    EXPECT_EQ(port.device.XonChar, 0x11);
    EXPECT_EQ(port.device.XoffChar, 0x13);
    EXPECT_EQ(port.device.XoffLim, 1096);
    EXPECT_EQ(port.SWFlowEnable(10, 20, 1), -1002);

    EXPECT_EQ(port.SWFlowState(), 2);
    port.statusFlags = comstat_XoffHold;
    EXPECT_EQ(port.SWFlowState(), 6);
    port.statusFlags = comstat_XoffSent;
    EXPECT_EQ(port.SWFlowState(), 7);
    port.statusFlags = comstat_XoffSent | comstat_XoffHold;
    EXPECT_EQ(port.SWFlowState(), 8);

    ASSERT_EQ(port.SWFlowChars('A', 'B'), 0);
    uint32_t hw = 0, sw = 0, full = 0, resume = 0;
    char on = 0, off = 0;
    ASSERT_EQ(port.GetFlowOptions(hw, sw, full, resume, on, off), 0);
    EXPECT_EQ(sw, 3u);
    EXPECT_EQ(on, 'A');
    EXPECT_EQ(off, 'B');

    ASSERT_EQ(port.SWFlowDisable(), 0);
    EXPECT_EQ(port.SWFlowState(), 1);
}

TEST_F(PortStatus, SoftwareFlowEnableSetsExactlyTheDirectionsAskedFor) {
    ASSERT_EQ(port.SWFlowEnable(3000, 1000, 1 | 2), 0);
    ASSERT_EQ(port.SWFlowEnable(3000, 1000, 1), 0);
    EXPECT_EQ(port.device.Flags & (dcb_InX | dcb_OutX), dcb_OutX);
    ASSERT_EQ(port.SWFlowEnable(3000, 1000, 2), 0);
    EXPECT_EQ(port.device.Flags & (dcb_InX | dcb_OutX), dcb_InX);
    uint32_t hw = 0, sw = 0, full = 0, resume = 0;
    char on = 0, off = 0;
    ASSERT_EQ(port.GetFlowOptions(hw, sw, full, resume, on, off), 0);
    EXPECT_EQ(sw, 2u);
}

TEST_F(PortStatus, DataPointersOutsideTheThreeSlotsAreRefused) {
    int value = 0;
    void* pointer = &value;
    EXPECT_EQ(port.SetDataPointer(&value, 0), -1002);
    EXPECT_EQ(port.SetDataPointer(&value, 4), -1002);
    EXPECT_EQ(port.GetDataPointer(pointer, 4), -1002);
    EXPECT_EQ(pointer, &value);
    EXPECT_EQ(port.SetDataPointer(&value, 3), 0);
    EXPECT_EQ(port.GetDataPointer(pointer, 1), 0);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(port.GetDataPointer(pointer, 3), 0);
    EXPECT_EQ(pointer, &value);
}

} // namespace
} // namespace kivo
