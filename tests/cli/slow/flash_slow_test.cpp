// Updates that take their time because the device does not answer: every wait runs out.
#include "tests/cli/flash_harness.h"

#include <gtest/gtest.h>

namespace brinomar::testing {
namespace {

class FlashUpdateSlow : public TFlashTest {};

TEST_F(FlashUpdateSlow, SilentDeviceIsGreetedExactly1000Times) {
    TDevsim device({"--silent", "--verbose"}, dir.File("devsim.err"));
    const TFlashRun run = Flash({"--port", device.Path(), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitNoConnection) << run.Err;
    EXPECT_EQ(run.Log, (std::vector<std::string>{LogGetInTouch, LogTimeOut}));
    EXPECT_EQ(device.Stop(), 0);
    // The simulator counts what it received when it ends.
    const std::string report = dir.Read("devsim.err");
    EXPECT_NE(report.find("devsim: 1000 greetings, 0 image bytes"), std::string::npos) << report;
}

TEST_F(FlashUpdateSlow, WrongCheckSumIsReported) {
    TDevsim device({"--wrong-checksum"}, dir.File("devsim.err"));
    const TFlashRun run = Flash({"--port", device.Path(), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitCheckSumError) << run.Err;
    EXPECT_EQ(run.Log, CompleteLog(LogCheckSumError));
}

} // namespace
} // namespace brinomar::testing
