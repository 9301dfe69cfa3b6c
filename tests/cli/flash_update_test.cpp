// brinomar-flash updating the simulated device over a pseudo-terminal: the log it prints, its
// exit status, what reached the device, and how it ends when the device or the user stops it.
#include "tests/cli/flash_harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>

namespace brinomar::testing {
namespace {

class FlashUpdate : public TFlashTest {};

TEST_F(FlashUpdate, CompleteUpdateSendsTheWholeImageAndWritesTraceAndLog) {
    TDevsim device({"--once", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ASSERT_FALSE(device.Path().empty());
    const TFlashRun run =
        Flash({"--port", device.Path(), "--no-progress", "--trace=" + dir.File("run.trc"),
               "--log=" + dir.File("run.log"), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitSuccess) << run.Err;
    EXPECT_EQ(run.Log, CompleteLog());
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(device.Wait(kEndMs), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()));
    // Both files are written when the port closes.
    EXPECT_GT(std::filesystem::file_size(dir.File("run.trc")), 0u);
    EXPECT_GT(std::filesystem::file_size(dir.File("run.log")), 0u);
}

TEST_F(FlashUpdate, LowerCaseAnswersAndNoiseBeforeThemAreAccepted) {
    for (const char* fault : {"--lower-case", "--noise"}) {
        TDevsim device({fault}, dir.File("devsim.err"));
        const TFlashRun run = Flash({"--port", device.Path(), "--progress", ExampleFirmware()});
        EXPECT_EQ(run.Status, ExitSuccess) << fault << ": " << run.Err;
        EXPECT_EQ(run.Log, CompleteLog()) << fault;
        // The bar went to standard error, the log lines did not.
        EXPECT_NE(run.Err.find("490/490 sectors"), std::string::npos) << fault;
        EXPECT_EQ(run.Err.find("Sector"), std::string::npos) << fault;
    }
}

// Every redraw of the bar starts at the line's beginning and erases to its end: a bar wider than
// the terminal would wrap and leave its first part on the screen each time.
TEST_F(FlashUpdate, ProgressOnANarrowTerminalNeverWraps) {
    TDevsim device({}, dir.File("devsim.err"));
    TTestTerminal terminal(40);
    TChildProcess flash(ProgramPath("brinomar-flash"), {"--port", device.Path(), ExampleFirmware()},
                        dir.File("flash.err"), {}, terminal.Terminal());
    terminal.Release();
    const std::string shown = terminal.ReadUntil("", kRunMs);
    EXPECT_EQ(flash.ReadLines(kEndMs), CompleteLog());
    EXPECT_EQ(flash.Wait(kEndMs), ExitSuccess);
    EXPECT_NE(shown.find("490/490 sectors"), std::string::npos) << shown;
    size_t start = 0;
    while (start < shown.size()) {
        const size_t end = std::min(shown.find_first_of("\r\n", start), shown.size());
        const std::string drawn = shown.substr(start, end - start);
        ASSERT_LT(drawn.size() - (drawn.starts_with("\033[K") ? 3 : 0), 40u) << drawn;
        start = end + 1;
    }
}

TEST_F(FlashUpdate, MissingAcknowledgementEndsTheRunWithNothingSentAfterIt) {
    TDevsim device({"--once", "--no-ack-after", "5", "--save", dir.File("image.bin")},
                   dir.File("devsim.err"));
    const TFlashRun run = Flash({"--port", device.Path(), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitSectorError);
    std::vector<std::string> expected = LogUpTo(5);
    expected.push_back("Sector 006 ERROR");
    EXPECT_EQ(run.Log, expected);
    EXPECT_EQ(device.Wait(kEndMs), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()).substr(0, 256));
}

// The second "OK" of the greeting stays in the input until the first acknowledgement wait
// takes it for the device's "K": a device that never acknowledges block 4 still gets through.
TEST_F(FlashUpdate, SurplusOkSatisfiesTheFirstAcknowledgement) {
    TDevsim device({"--surplus-ok", "--no-ack-after", "4"}, dir.File("devsim.err"));
    const TFlashRun run = Flash({"--port", device.Path(), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitSuccess) << run.Err;
    EXPECT_EQ(run.Log, CompleteLog());
}

TEST_F(FlashUpdate, UpdateGoesOnWhenItsLogIsNoLongerRead) {
    TDevsim device({"--once", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    TChildProcess flash(ProgramPath("brinomar-flash"), {"--port", device.Path(), ExampleFirmware()},
                        dir.File("flash.err"));
    EXPECT_EQ(flash.ReadLine(kRunMs), LogGetInTouch);
    flash.CloseOutput();
    EXPECT_EQ(flash.Wait(kRunMs), ExitSuccess);
    EXPECT_EQ(device.Wait(kEndMs), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()));
}

// Started without standard output and error, the program must not let the port take their
// numbers: the progress bar and the log lines would go out on the line between the sectors.
TEST_F(FlashUpdate, UpdateStartedWithoutStandardStreamsSendsOnlyTheImage) {
    TDevsim device({"--once", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    TChildProcess flash("/bin/sh",
                        {"-c", "exec \"$0\" \"$@\" >&- 2>&-", ProgramPath("brinomar-flash"),
                         "--port", device.Path(), "--progress", ExampleFirmware()},
                        dir.File("flash.err"));
    EXPECT_EQ(flash.Wait(kRunMs), ExitSuccess);
    EXPECT_EQ(device.Wait(kEndMs), 0);
    // Compared whole: a difference would print 62,720 bytes.
    const std::string received = dir.Read("image.bin");
    EXPECT_TRUE(received == SentImageOf(ExampleFirmware())) << received.size() << " bytes";
}

// The reason a trace or log could not be written names no file, and by default both go into
// the working directory, which may be read-only or gone: the files asked for are named.
TEST_F(FlashUpdate, TraceOrLogThatCannotBeWrittenIsNamed) {
    TDevsim device({}, dir.File("devsim.err"));
    TFlashRun run = Flash({"--port", device.Path(), "--no-progress",
                           "--trace=" + dir.File("missing/run.trc"), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitFileUnusable);
    EXPECT_NE(run.Err.find("brinomar-flash: cannot write the trace to " +
                           dir.File("missing/run.trc") + "\n"),
              std::string::npos)
        << run.Err;

    run = Flash({"--port", device.Path(), "--no-progress", "--trace=" + dir.File("run.trc"),
                 "--log=" + dir.File("missing/run.log"), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitFileUnusable);
    EXPECT_NE(run.Err.find("cannot write the trace to " + dir.File("run.trc") + " or the log to " +
                           dir.File("missing/run.log") + "\n"),
              std::string::npos)
        << run.Err;
}

TEST_F(FlashUpdate, DeviceHangingUpMidTransferEndsTheRun) {
    TDevsim device({"--hangup-after", "100"}, dir.File("devsim.err"));
    const TFlashRun run = Flash({"--port", device.Path(), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitSectorError) << run.Err;
    ASSERT_FALSE(run.Log.empty());
    EXPECT_EQ(run.Log.back(), "Sector 101 ERROR");
}

TEST_F(FlashUpdate, DamagedFileNeverReachesThePort) {
    const std::string file =
        dir.Write("damaged.hex", ":10020000000102030405060708090A0B0C0D0EZZ00\n:00000001FF\n");
    const TFlashRun run =
        Flash({"--port", dir.File("no-such-device"), "--trace=" + dir.File("run.trc"), file});
    EXPECT_EQ(run.Status, ExitFileUnusable);
    ASSERT_EQ(run.Log.size(), 1u);
    EXPECT_EQ(run.Log[0].rfind("Not sent: line 1: ", 0), 0u) << run.Log[0];
    EXPECT_NE(run.Err.find(file + ":1: error: "), std::string::npos) << run.Err;
    // Opening the missing device would have failed with its own message, closing it would
    // have written the trace.
    EXPECT_EQ(run.Err.find("doesn't exist"), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("run.trc")));
}

TEST_F(FlashUpdate, PortThatCannotBeOpenedOrChosenExitsWithFour) {
    TFlashRun run = Flash({"--port", dir.File("no-such-device"), ExampleFirmware()});
    EXPECT_EQ(run.Status, ExitFileUnusable);
    EXPECT_EQ(run.Log, std::vector<std::string>{LogGetInTouch});
    EXPECT_NE(run.Err.find("doesn't exist"), std::string::npos) << run.Err;

    // Nobody at a terminal to choose a port.
    run = Flash({ExampleFirmware()}, OnlyPort());
    EXPECT_EQ(run.Status, ExitFileUnusable);
    EXPECT_NE(run.Err.find("ComNumber"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("give the port with --port; the ports are offered for choice only "
                           "when standard input is a terminal"),
              std::string::npos)
        << run.Err;

    run = Flash({"--port", "COM3", dir.File("missing.hex")});
    EXPECT_EQ(run.Status, ExitFileUnusable);
    EXPECT_TRUE(run.Log.empty());
    EXPECT_NE(run.Err.find("missing.hex"), std::string::npos) << run.Err;
}

TEST_F(FlashUpdate, PortPromptLeftWithoutAChoice) {
    TDevsim device({}, dir.File("devsim.err"));
    const std::vector<std::string> listed = OnlyPort(9, device.Path());
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "Ctrl-C" : "end of input");
        TTestTerminal terminal;
        TChildProcess flash(ProgramPath("brinomar-flash"), {ExampleFirmware()},
                            dir.File("flash.err"), listed, terminal.Terminal());
        terminal.Release();
        ASSERT_NE(terminal.ReadUntil("0 to cancel): ", kEndMs).find("COM9"), std::string::npos);
        if (interrupted) {
            flash.Signal(SIGINT);
        } else {
            terminal.Type("\x04");
        }
        const std::string shown = terminal.ReadUntil("", kEndMs);
        EXPECT_EQ(flash.ReadLines(kEndMs), std::vector<std::string>{LogGetInTouch});
        if (interrupted) {
            EXPECT_EQ(flash.Wait(kEndMs), ExitInterrupted);
            EXPECT_EQ(shown.find("brinomar-flash:"), std::string::npos) << shown;
        } else {
            EXPECT_EQ(flash.Wait(kEndMs), ExitFileUnusable);
            EXPECT_NE(shown.find("give the port with --port"), std::string::npos) << shown;
            EXPECT_EQ(shown.find("only when standard input is a terminal"), std::string::npos)
                << shown;
        }
    }
}

// brinomar-flash as in a chroot or container without sysfs: an empty /sys in a mount namespace
// of its own. Only root can make one.
const std::string kUnshare = "/usr/bin/unshare";
const std::string kHideSysfs = "mount -t tmpfs none /sys && exec \"$0\" \"$@\"";
const std::string kNoSysfsMessage =
    "brinomar-flash: cannot look for serial ports in /sys/class/tty: No such file or directory";

bool CanHideSysfs() {
    return std::filesystem::exists(kUnshare) &&
           kivo::testing::RunShell(kUnshare + " --mount --propagation private sh -c " +
                                   kivo::testing::ShellQuote(kHideSysfs) + " true 2>/dev/null") ==
               0;
}

std::vector<std::string> FlashWithoutSysfs(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--mount",
                                 "--propagation",
                                 "private",
                                 "sh",
                                 "-c",
                                 kHideSysfs,
                                 ProgramPath("brinomar-flash")};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// A choice that could not offer the machine's ports says why, so that the user who declines it
// is not left believing that the machine has none; so does a port number that was not found.
TEST_F(FlashUpdate, WithoutSysfsThePortChoiceAndPortNumbersSayWhyNoPortIsFound) {
    if (!CanHideSysfs()) {
        GTEST_SKIP() << "cannot hide /sys in a mount namespace of its own (needs root)";
    }
    TTestTerminal terminal;
    TChildProcess flash(kUnshare, FlashWithoutSysfs({ExampleFirmware()}), dir.File("flash.err"),
                        OnlyPort(), terminal.Terminal());
    terminal.Release();
    const std::string shown = terminal.ReadUntil("", kEndMs);
    EXPECT_EQ(flash.Wait(kEndMs), ExitFileUnusable);
    EXPECT_NE(shown.find("No serial ports found."), std::string::npos) << shown;
    EXPECT_NE(shown.find(kNoSysfsMessage), std::string::npos) << shown;

    TChildProcess byNumber(kUnshare, FlashWithoutSysfs({"--port", "COM1", ExampleFirmware()}),
                           dir.File("number.err"));
    EXPECT_EQ(byNumber.Wait(kEndMs), ExitFileUnusable);
    const std::string error = dir.Read("number.err");
    EXPECT_NE(error.find("doesn't exist"), std::string::npos) << error;
    EXPECT_NE(error.find(kNoSysfsMessage), std::string::npos) << error;
}

// A terminal without line editing hands over all that was typed at once: the answer after a
// wrong one is taken, not left waiting until something more is typed.
TEST_F(FlashUpdate, PortPromptTakesAnAnswerTypedAhead) {
    TDevsim device({}, dir.File("devsim.err"));
    TTestTerminal terminal;
    termios modes{};
    ASSERT_EQ(tcgetattr(terminal.Terminal(), &modes), 0);
    modes.c_lflag &= ~ICANON;
    ASSERT_EQ(tcsetattr(terminal.Terminal(), TCSANOW, &modes), 0);
    TChildProcess flash(ProgramPath("brinomar-flash"), {ExampleFirmware()}, dir.File("flash.err"),
                        OnlyPort(9, device.Path()), terminal.Terminal());
    terminal.Release();
    ASSERT_NE(terminal.ReadUntil("0 to cancel): ", kEndMs).find("COM9"), std::string::npos);
    terminal.Type("x\n0\n");
    const std::string shown = terminal.ReadUntil("", kEndMs);
    EXPECT_EQ(flash.Wait(kEndMs), ExitFileUnusable);
    EXPECT_NE(shown.find("x is not one of the listed ports"), std::string::npos) << shown;
}

// Ctrl-C, a kill and the terminal being closed all end the run the same way.
TEST_F(FlashUpdate, InterruptMidTransferStopsSendingAndClosesThePort) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        TDevsim device({"--pace", "9600", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
        std::filesystem::remove(dir.File("run.trc"));
        TChildProcess flash(
            ProgramPath("brinomar-flash"),
            {"--port", device.Path(), "--trace=" + dir.File("run.trc"), ExampleFirmware()},
            dir.File("flash.err"));
        std::vector<std::string> log;
        while (std::optional<std::string> line = flash.ReadLine(kRunMs)) {
            log.push_back(*line);
            if (*line == "Sector 008 OK") {
                break;
            }
        }
        ASSERT_EQ(log.back(), "Sector 008 OK");
        flash.Signal(signal);
        const std::vector<std::string> rest = flash.ReadLines(kEndMs);
        EXPECT_EQ(flash.Wait(kEndMs), ExitInterrupted);
        EXPECT_LT(rest.size(), 3u);
        EXPECT_EQ(std::find(rest.begin(), rest.end(), LogCheckSum), rest.end());
        EXPECT_TRUE(std::filesystem::exists(dir.File("run.trc"))) << "the port was not closed";

        EXPECT_EQ(device.Stop(), 0);
        const std::string received = dir.Read("image.bin");
        EXPECT_LT(received.size(), 12u * SectorSize);
        EXPECT_EQ(received, SentImageOf(ExampleFirmware()).substr(0, received.size()));
    }
}

// Below the device's 9600 baud a sector takes longer on the wire than the acknowledgement wait
// gives the device (3.2 s at 400 baud against 2.75 s); the waits grow by that time.
TEST_F(FlashUpdate, SlowLineLeavesTheDeviceItsTimeAfterTheWire) {
    TDevsim device({"--pace", "400"}, dir.File("devsim.err"));
    TChildProcess flash(ProgramPath("brinomar-flash"),
                        {"--port", device.Path(), "--baud", "400", ExampleFirmware()},
                        dir.File("flash.err"));
    std::vector<std::string> log;
    while (std::optional<std::string> line = flash.ReadLine(kRunMs)) {
        log.push_back(*line);
        if (*line == "Sector 007 OK" || line->find("ERROR") != std::string::npos) {
            break;
        }
    }
    EXPECT_EQ(log, (std::vector<std::string>{LogGetInTouch, LogConnection, "Sector 005 OK",
                                             "Sector 006 OK", "Sector 007 OK"}));
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.Wait(kEndMs), ExitInterrupted);
}

TEST_F(FlashUpdate, HangUpIgnoredAtTheStartLeavesTheUpdateRunning) {
    TDevsim device({"--pace", "1000000"}, dir.File("devsim.err"));
    TChildProcess flash("/bin/sh",
                        {"-c", "trap '' HUP; exec \"$0\" \"$@\"", ProgramPath("brinomar-flash"),
                         "--port", device.Path(), ExampleFirmware()},
                        dir.File("flash.err"));
    EXPECT_EQ(flash.ReadLine(kRunMs), LogGetInTouch);
    EXPECT_EQ(flash.ReadLine(kRunMs), LogConnection);
    flash.Signal(SIGHUP);
    const std::vector<std::string> rest = flash.ReadLines(kRunMs);
    EXPECT_EQ(flash.Wait(kEndMs), ExitSuccess);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), LogCheckSumOk);
}

} // namespace
} // namespace brinomar::testing
