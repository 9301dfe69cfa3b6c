// brinomar-update started from a shell: what it says and how it ends when it cannot run.
#include "tests/cli/child_process.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

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

TEST(UpdateProgram, RefusesArgumentsItDoesNotTake) {
    const TEnding ending = RunUpdateProgram({"firmware.hex"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(ending.Status, 1) << ending.Errors;
    EXPECT_NE(ending.Errors.find("Unexpected argument 'firmware.hex'"), std::string::npos)
        << ending.Errors;
}

} // namespace
} // namespace brinomar::testing
