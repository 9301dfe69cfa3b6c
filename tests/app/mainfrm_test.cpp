// The update run where it must not reach the device, or reaches only the port: the checks
// before the greeting, the port as the updater sets it up, and the checksum against a line that
// only acknowledges. Runs against a device are the end-to-end tests of brinomar-flash and of the
// window.
#include "app/mainfrm.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/port/kvselcom.h"
#include "tests/fakes/no_machine_ports.h"
#include "tests/fakes/pty_far_end.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

namespace brinomar {
namespace {

class TRecordingLog : public IUpdateLog {
public:
    void Clear() override { lines.clear(); }
    void Add(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines{"a line of an earlier run"};
};

// Declines every selection, counting how often it was asked.
class TDecliningChoice : public kivo::IComSelectPresenter {
public:
    kivo::TModalResult ShowModal(kivo::TComSelectForm&) override {
        ++asked;
        return kivo::mrCancel;
    }
    int asked = 0;
};

class UpdateRun : public ::testing::Test {
protected:
    UpdateRun()
        : choice_(std::make_shared<TDecliningChoice>()),
          previous_(kivo::SetComSelectPresenter(choice_)) {}
    ~UpdateRun() override {
        kivo::SetComSelectPresenter(previous_);
        kivo::SetApplicationTerminating(false);
    }

    TUpdateOutcome Run() { return updater.Run(log); }
    void Load(const std::string& text) { updater.Image.LoadFile(dir.Write("fw.hex", text)); }
    bool PortTouched() const {
        return choice_->asked != 0 || updater.ComPort.PortState() != kivo::psClosed;
    }

    kivo::testing::TNoMachinePorts noMachinePorts;
    kivo::testing::TScratchDir dir;
    TRecordingLog log;
    std::shared_ptr<TDecliningChoice> choice_;
    std::shared_ptr<kivo::IComSelectPresenter> previous_;
    TUpdater updater;
};

TEST_F(UpdateRun, ImageWithLoadErrorsIsNotSentAndTheLogNamesTheFirst) {
    // Line 2 holds a data field that is no hexadecimal, line 3 an address that is none.
    Load(":02020000AAAA50\n:02020200AAZZ00\n:0G\n:00000001FF\n");
    EXPECT_EQ(Run(), TUpdateOutcome::uoImageDamaged);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Not sent: line 2: " + updater.Image.FirstError()->Text);
    EXPECT_FALSE(PortTouched());
}

TEST_F(UpdateRun, WarningsDoNotStopTheRun) {
    Load(":02020000AAAA00\n:00000001FF\n"); // the record checksum does not match
    ASSERT_FALSE(updater.Image.Diagnostics().empty());
    ASSERT_FALSE(updater.Image.HasErrors());
    // No port is chosen: the run gets as far as opening it.
    EXPECT_THROW(Run(), kivo::ENoPortSelected);
    EXPECT_EQ(log.lines, std::vector<std::string>{LogGetInTouch});
    EXPECT_EQ(choice_->asked, 1);
    EXPECT_FALSE(updater.ComPort.Open());
}

TEST_F(UpdateRun, NothingIsSentBeforeAFileWasLoaded) {
    EXPECT_EQ(Run(), TUpdateOutcome::uoImageDamaged);
    EXPECT_EQ(log.lines, std::vector<std::string>{"No file loaded, nothing sent"});
    EXPECT_FALSE(PortTouched());
}

TEST_F(UpdateRun, TerminatingApplicationStartsNoRun) {
    Load(":00000001FF\n");
    kivo::SetApplicationTerminating(true);
    EXPECT_EQ(Run(), TUpdateOutcome::uoStopped);
    EXPECT_EQ(log.lines, std::vector<std::string>{"a line of an earlier run"});
    EXPECT_FALSE(PortTouched());
}

// The far end acknowledges every 128 bytes with "K", so that after the last sector one more
// "K" comes where the checksum is awaited. The image's checksum is "k": the letter case of the
// answers "OK" and "K" does not count, but a checksum is a number that must match exactly.
TEST_F(UpdateRun, CheckSumDifferingOnlyInLetterCaseIsAnError) {
    kivo::testing::TPtyFarEnd device;
    ASSERT_FALSE(device.SlavePath().empty());
    device.AcknowledgeBlocks(SectorSize, 'K');
    constexpr uint16_t kPortNumber = 43;
    ASSERT_EQ(kivo::RegisterComPort(kPortNumber, device.SlavePath()), 0);
    // A blank image sums to 00; the byte 6A at the first position sent makes it 6B, "k".
    Load(":010200006A93\n:00000001FF\n");
    updater.ComPort.SetComNumber(kPortNumber);
    updater.ComPort.SetOpen(true);

    TUpdateRun run(updater.ComPort, updater.Image, log);
    run.TransferImage();

    EXPECT_EQ(run.Outcome(), TUpdateOutcome::uoCheckSumError);
    EXPECT_EQ(log.lines.back(), LogCheckSumError);
    updater.ComPort.SetOpen(false);
    kivo::UnregisterComPort(kPortNumber);
}

TEST(UpdatePort, IsSetUpForTheDeviceWithThePortLeftToChoose) {
    kivo::TKvdComPort port;
    ConfigureUpdatePort(port);
    EXPECT_EQ(port.Baud(), 9600);
    EXPECT_EQ(port.Parity(), kivo::pNone);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_TRUE(port.HWFlowOptions().Empty());
    EXPECT_EQ(port.SWFlowOptions(), kivo::swfNone);
    EXPECT_EQ(port.Tracing(), kivo::tlOff);
    EXPECT_EQ(port.Logging(), kivo::tlOff);
    EXPECT_EQ(port.TraceName(), "KIVO.TRC");
    EXPECT_EQ(port.LogName(), "KIVO.LOG");
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_TRUE(port.PromptForPort());
    EXPECT_TRUE(port.OnTrigger());
    EXPECT_FALSE(port.OnTriggerAvail());
}

} // namespace
} // namespace brinomar
