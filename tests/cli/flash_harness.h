// brinomar-flash run against the simulated device: a fixture with a scratch directory and a
// runner that collects the log lines, the exit status and standard error.
#pragma once

#include "app/mainfrm.h"
#include "cli/flashoptions.h"
#include "tests/cli/update_harness.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

namespace brinomar::testing {

constexpr int kRunMs = 180000; // the longest run: 1000 greetings without an answer
constexpr int kEndMs = 10000;

struct TFlashRun {
    int Status = -1;
    std::vector<std::string> Log;
    std::string Err;
};

class TFlashTest : public ::testing::Test {
protected:
    TFlashRun Flash(const std::vector<std::string>& args) {
        TFlashRun run;
        {
            TChildProcess flash(ProgramPath("brinomar-flash"), args, dir.File("flash.err"));
            run.Log = flash.ReadLines(kRunMs);
            run.Status = flash.Wait(kEndMs);
        }
        run.Err = dir.Read("flash.err");
        return run;
    }

    kivo::testing::TScratchDir dir;
};

} // namespace brinomar::testing
