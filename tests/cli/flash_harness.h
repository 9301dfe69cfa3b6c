// brinomar-flash run against the simulated device: a fixture with a scratch directory and a
// runner that collects the log lines, the exit status and standard error.
#pragma once

#include "app/mainfrm.h"
#include "cli/flashoptions.h"
#include "comm/port/kvselcom.h"
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
    TFlashRun Flash(const std::vector<std::string>& args,
                    const std::vector<std::string>& environment = {}) {
        TFlashRun run;
        {
            TChildProcess flash(ProgramPath("brinomar-flash"), args, dir.File("flash.err"),
                                environment);
            run.Log = flash.ReadLines(kRunMs);
            run.Status = flash.Wait(kEndMs);
        }
        run.Err = dir.Read("flash.err");
        return run;
    }

    // The environment that puts `path` at port `number` and every other port the selection
    // lists at a path that does not exist: the selection opens each port it lists to test it,
    // and the machine's own serial devices (for root the console among them) must stay out of
    // its reach.
    std::vector<std::string> OnlyPort(uint32_t number = 0, const std::string& path = {}) {
        std::vector<std::string> environment;
        for (uint32_t n = 1; n <= kivo::TComSelectForm::HighestPort; ++n) {
            environment.push_back("KIVO_COM" + std::to_string(n) + "=" +
                                  (n == number ? path : dir.File("no-port")));
        }
        return environment;
    }

    kivo::testing::TScratchDir dir;
};

} // namespace brinomar::testing
