// brinomar-flash --listing run as a program: what it prints where, and its exit status.
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kivo::testing::RunShell;
using kivo::testing::ShellQuote;
using kivo::testing::TScratchDir;

struct TRun {
    int Status;
    std::string Out;
    std::string Err;
};

class FlashListing : public ::testing::Test {
protected:
    TRun Flash(const std::string& arguments, const std::string& stdoutTarget = "",
               const std::string& environment = "") {
        const std::string program = std::string(KIVO_BIN_DIR) + "/brinomar-flash";
        const std::string out = stdoutTarget.empty() ? ShellQuote(dir.File("out")) : stdoutTarget;
        const std::string env = environment.empty() ? "" : "env " + ShellQuote(environment) + " ";
        TRun run;
        run.Status = RunShell(env + ShellQuote(program) + " " + arguments + " >" + out + " 2>" +
                              ShellQuote(dir.File("err")));
        run.Out = dir.Read("out");
        run.Err = dir.Read("err");
        return run;
    }

    TScratchDir dir;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

TEST_F(FlashListing, ListsTheExampleFirmware) {
    const TRun run =
        Flash("--listing " + ShellQuote(std::string(KIVO_SOURCE_DIR) + "/examples/firmware.hex"));
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(run.Out.find('\r'), std::string::npos);
    const std::vector<std::string> lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 3952u);
    EXPECT_EQ(run.Out.back(), '\n');
    EXPECT_EQ(lines[0x1F], "01F0: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");
    EXPECT_EQ(lines[0x20], "0200: 02 02 40 02 02 A1 02 03 02 02 03 63 02 03 C4 02");
    EXPECT_EQ(lines.back(), "F6F0: 42 52 4D 2D 46 57 01 03 00 00 24 06 12 00 5A A5");
}

TEST_F(FlashListing, DamagedFileIsListedWithItsProblemsOnStandardError) {
    const std::string file = dir.Write("damaged.hex", ":02030000abCD00\n:0G\n:00000001FF\n");
    const TRun run = Flash("--listing " + ShellQuote(file));
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(Lines(run.Out)[0x30], "0300: FF CD FF FF FF FF FF FF FF FF FF FF FF FF FF FF");
    EXPECT_NE(run.Err.find(file + ":1: error: "), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find(file + ":1: warning: "), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find(file + ":2: error: "), std::string::npos) << run.Err;
}

TEST_F(FlashListing, UnreadableFileExitsWithFour) {
    const std::string missing = dir.File("missing.hex");
    const TRun run = Flash("--listing " + ShellQuote(missing));
    EXPECT_EQ(run.Status, 4);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find(missing), std::string::npos) << run.Err;
    EXPECT_EQ(Flash("--listing " + ShellQuote(dir.Path().string())).Status, 4);
}

TEST_F(FlashListing, UsageErrorsExitWith64AndHelpWithZero) {
    for (const std::string arguments : {"", "--listing", "--frobnicate x.hex", "a.hex b.hex"}) {
        const TRun run = Flash(arguments);
        EXPECT_EQ(run.Status, 64) << arguments;
        EXPECT_EQ(run.Out, "") << arguments;
        EXPECT_NE(run.Err.find("--help"), std::string::npos) << arguments;
    }
    const TRun help = Flash("--help");
    EXPECT_EQ(help.Status, 0);
    EXPECT_NE(help.Out.find("--listing FILE.hex"), std::string::npos);
}

TEST_F(FlashListing, ListPortsShowsARegisteredPortWithItsPath) {
    const TRun run = Flash("--list-ports", "", "KIVO_COM7=" + dir.File("line"));
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("COM7  " + dir.File("line")), std::string::npos) << run.Out;
}

// In a chroot or container without sysfs the machine's ports cannot be looked for: that is said,
// the port given in the environment is still listed, and the list is not taken for all there is.
TEST_F(FlashListing, ListPortsWithoutSysfsSaysSoAndFails) {
    const std::string hideSysfs = "unshare --mount --propagation private sh -c "
                                  "'mount -t tmpfs none /sys && exec env \"$@\"' sh ";
    if (RunShell(hideSysfs + "true 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot hide /sys in a mount namespace of its own (needs root)";
    }
    const std::string program = std::string(KIVO_BIN_DIR) + "/brinomar-flash";
    const int status = RunShell(hideSysfs + ShellQuote("KIVO_COM7=" + dir.File("line")) + " " +
                                ShellQuote(program) + " --list-ports >" +
                                ShellQuote(dir.File("out")) + " 2>" + ShellQuote(dir.File("err")));
    EXPECT_EQ(status, 4);
    EXPECT_NE(dir.Read("out").find("COM7  " + dir.File("line")), std::string::npos);
    EXPECT_EQ(dir.Read("err"), "brinomar-flash: cannot look for serial ports in /sys/class/tty: "
                               "No such file or directory\n");
}

// The path column is counted in characters: a path with letters of more than one byte in UTF-8
// does not push the columns after it out of line.
TEST_F(FlashListing, ListPortsKeepsColumnsWithMultibytePaths) {
    const std::string program = std::string(KIVO_BIN_DIR) + "/brinomar-flash";
    ASSERT_EQ(RunShell("env " + ShellQuote("KIVO_COM7=" + dir.File("l\xc3\xadnea")) + " " +
                       ShellQuote("KIVO_COM8=" + dir.File("linea")) + " " + ShellQuote(program) +
                       " --list-ports >" + ShellQuote(dir.File("out"))),
              0);
    const auto column = [](const std::string& line) {
        const size_t at = line.find("  -  ");
        return std::count_if(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(at),
                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    };
    std::vector<std::string> ours;
    for (const std::string& line : Lines(dir.Read("out"))) {
        if (line.rfind("COM7 ", 0) == 0 || line.rfind("COM8 ", 0) == 0) {
            ASSERT_NE(line.find("  -  "), std::string::npos) << line;
            ours.push_back(line);
        }
    }
    ASSERT_EQ(ours.size(), 2u) << dir.Read("out");
    EXPECT_EQ(column(ours[0]), column(ours[1])) << ours[0] << '\n' << ours[1];
}

// File names, device paths, arguments and the file's own bytes may hold anything: what reaches
// the terminal from them is printable, the rest escaped.
TEST_F(FlashListing, OutsideTextReachesTheTerminalOnlyAsPrintableText) {
    const auto flash = [this](const std::string& arguments, const std::string& environment = "") {
        const TRun run = Flash(arguments, "", environment);
        EXPECT_EQ((run.Out + run.Err).find('\x1b'), std::string::npos) << run.Out << run.Err;
        return run;
    };
    const std::string name = "fw\x1b]0;owned\x07\n.hex";
    // An extended address record whose base and checksum are escape sequences.
    dir.Write(name, ":02000004\x1b[2J\x1b[\n:00000001FF\n");
    TRun run = flash("--listing " + ShellQuote(dir.File(name)));
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Err.find(dir.File("fw\\x1b]0;owned\\x07\\x0a.hex") + ":1: error: "),
              std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("with base \\x1b[2J;"), std::string::npos) << run.Err;

    run = flash("--listing " + ShellQuote(dir.File("missing\x1b[2J.hex")));
    EXPECT_EQ(run.Status, 4);
    EXPECT_NE(run.Err.find("missing\\x1b[2J.hex"), std::string::npos) << run.Err;

    run = flash("--list-ports", "KIVO_COM7=" + dir.File("line\x1b[2J\xff"));
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("COM7  " + dir.File("line\\x1b[2J\\xff")), std::string::npos) << run.Out;

    run = flash(ShellQuote("--\x1b[2J") + " fw.hex");
    EXPECT_EQ(run.Status, 64);
    EXPECT_NE(run.Err.find("unknown option '--\\x1b[2J'"), std::string::npos) << run.Err;
}

TEST_F(FlashListing, AFailedWriteIsNotSuccess) {
    const std::string file = dir.Write("empty.hex", ":00000001FF\n");
    for (const std::string stdoutTarget : {"/dev/full", "&-"}) {
        for (const std::string& args :
             {"--listing " + ShellQuote(file), std::string("--help"), std::string("--version")}) {
            const TRun run = Flash(args, stdoutTarget);
            EXPECT_EQ(run.Status, 74) << args << " >" << stdoutTarget;
            EXPECT_NE(run.Err.find("cannot write"), std::string::npos) << run.Err;
        }
    }
}

} // namespace
