// brinomar-update started from a shell: what it says and how it ends when it cannot run.
#include "tests/cli/child_process.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace brinomar::testing {
namespace {

// The program's exit status and what it wrote on standard error.
struct TEnding {
    int Status;
    std::string Errors;
};

TEnding RunUpdateProgram(const std::vector<std::string>& args,
                         const std::vector<std::string>& environment) {
    kivo::testing::TScratchDir dir;
    TChildProcess program(ProgramPath("brinomar-update"), args, dir.File("stderr"), environment);
    const int status = program.Wait(30000);
    return {status, dir.Read("stderr")};
}

TEST(UpdateProgram, WithoutADisplayEndsWithAnErrorInsteadOfACrash) {
    const TEnding ending =
        RunUpdateProgram({}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(ending.Status, 1) << ending.Errors;
    EXPECT_NE(ending.Errors.find("brinomar-update: cannot show the window"), std::string::npos)
        << ending.Errors;
}

// A shell without a display (a remote login) still gets the help and the version.
TEST(UpdateProgram, AnswersHelpAndVersionWithoutADisplay) {
    const std::vector<std::string> noDisplay = {"QT_QPA_PLATFORM=xcb",
                                                "DISPLAY=", "WAYLAND_DISPLAY="};
    kivo::testing::TScratchDir dir;
    TChildProcess version(ProgramPath("brinomar-update"), {"--version"}, dir.File("version"),
                          noDisplay);
    const std::optional<std::string> named = version.ReadLine(30000);
    EXPECT_EQ(named.value_or("").rfind("brinomar-update ", 0), 0u) << named.value_or("(nothing)");
    EXPECT_EQ(version.Wait(30000), 0) << dir.Read("version");
    TChildProcess help(ProgramPath("brinomar-update"), {"--diagnostics", "--help"},
                       dir.File("help"), noDisplay);
    const std::vector<std::string> lines = help.ReadLines(30000);
    EXPECT_EQ(help.Wait(30000), 0) << dir.Read("help");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("--diagnostics") != std::string::npos;
    }));
}

// The window's application takes options of its own, which must not turn help into a mistake.
TEST(UpdateProgram, AnswersHelpAndVersionBesideTheWindowsOwnOptions) {
    for (const char* asked : {"--help", "--version"}) {
        SCOPED_TRACE(asked);
        const TEnding ending = RunUpdateProgram({"-platform", "offscreen", asked},
                                                {"QT_QPA_PLATFORM=xcb", "DISPLAY="});
        EXPECT_EQ(ending.Status, 0) << ending.Errors;
    }
}

TEST(UpdateProgram, RefusesArgumentsItDoesNotTake) {
    const TEnding ending = RunUpdateProgram({"firmware.hex"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(ending.Status, 1) << ending.Errors;
    EXPECT_NE(ending.Errors.find("Unexpected argument 'firmware.hex'"), std::string::npos)
        << ending.Errors;
    // A name from a shell's wildcard may hold anything; it reaches the terminal printable.
    const TEnding odd = RunUpdateProgram({"\x1b[2J.hex"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(odd.Status, 1) << odd.Errors;
    EXPECT_NE(odd.Errors.find("Unexpected argument '\\x1b[2J.hex'"), std::string::npos)
        << odd.Errors;
}

TEST(UpdateProgram, SaysWhichPictureItCouldNotWrite) {
    kivo::testing::TScratchDir dir;
    const std::string file = dir.File("missing") + "/window.png";
    // The screenshot, and the icon the build paints for its installation.
    for (const char* option : {"--screenshot", "--write-icon"}) {
        const TEnding ending = RunUpdateProgram({option, file}, {"QT_QPA_PLATFORM=offscreen"});
        if (ending.Errors.find("cannot show the window") != std::string::npos) {
            GTEST_SKIP() << "no offscreen platform: " << ending.Errors;
        }
        EXPECT_EQ(ending.Status, 1) << option << ": " << ending.Errors;
        EXPECT_NE(ending.Errors.find("brinomar-update: cannot write " + file + ": "),
                  std::string::npos)
            << option << ": " << ending.Errors;
    }
}

} // namespace
} // namespace brinomar::testing
