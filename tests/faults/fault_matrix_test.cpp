// The fault matrix: one update by brinomar-flash per fault, each of which must end with the
// right log line, exit status and message, within a bounded time (no hang). Under
// AddressSanitizer (scripts/soak.sh) a leak or a memory error in any run fails its case too,
// since the sanitizer then changes the exit status.
#include "tests/cli/flash_harness.h"

#include "comm/platform/serial.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>

namespace brinomar::testing {
namespace {

using TClock = std::chrono::steady_clock;

// What the test does to the port or the run besides starting the simulator.
enum class TDisturbance {
    None,
    RemoveLink,      // the simulator's link is removed before brinomar-flash opens it
    HoldPort,        // another program holds the device open
    AsNobody,        // brinomar-flash runs as a user without rights to the device
    InterruptAtLine, // SIGINT once the log shows `interruptAt`
};

struct TFault {
    const char* name;
    std::vector<std::string> device; // simulator options
    TDisturbance disturbance;
    std::vector<std::string> options; // brinomar-flash options; "{dir}" is the scratch directory
    int status;
    std::string lastLine; // the log's last line starts with this
    std::string message;  // standard error holds this; empty: standard error is empty
    int maxSeconds;
    std::string interruptAt = {};
};

void PrintTo(const TFault& fault, std::ostream* os) {
    *os << fault.name;
}

// A wait of 50 ticks ends when the tick count has passed its start plus 50; the start falls
// anywhere inside a 55 ms tick, so the wait lasts between 50 and 51 ticks (2750-2805 ms). An
// acknowledgement 50 or 51 ticks late (2750 or 2805 ms) would sit on that edge or within the
// line's and the scheduler's delays of it, so the two sides are tested at 45 and 55 ticks
// (2475 and 3025 ms), clearly inside and outside whatever the phase of the clock.
// clang-format off
const TFault kFaults[] = {
    {"SilentDevice", {"--silent"}, TDisturbance::None, {},
     ExitNoConnection, LogTimeOut, "", 120},
    {"AcknowledgementLateWithinTheWait", {"--late-ack", "2475@10"}, TDisturbance::None, {},
     ExitSuccess, LogCheckSumOk, "", 30},
    {"AcknowledgementLateBeyondTheWait", {"--late-ack", "3025@10"}, TDisturbance::None, {},
     ExitSectorError, "Sector 011 ERROR", "", 30},
    {"NoiseBeforeEveryAnswer", {"--noise"}, TDisturbance::None, {},
     ExitSuccess, LogCheckSumOk, "", 30},
    {"HangUpMidTransfer", {"--hangup-after", "100"}, TDisturbance::None, {},
     ExitSectorError, "Sector 101 ERROR", "", 30},
    {"PortRemovedBeforeOpening", {}, TDisturbance::RemoveLink, {},
     ExitFileUnusable, LogGetInTouch, "doesn't exist", 10},
    {"PortHeldByAnotherProgram", {}, TDisturbance::HoldPort, {},
     ExitFileUnusable, LogGetInTouch, "device already open", 10},
    {"PermissionDeniedOnTheDevice", {}, TDisturbance::AsNobody, {},
     ExitFileUnusable, LogGetInTouch, "Add the user to the group that owns the device", 10},
    {"DiskFullWhenTheTraceIsWritten", {}, TDisturbance::None, {"--trace=/dev/full"},
     ExitFileUnusable, LogCheckSumOk, "Disk is full", 30},
    {"LogDirectoryMissingWhenTheLogIsWritten", {}, TDisturbance::None,
     {"--log={dir}/missing/run.log"},
     ExitFileUnusable, LogCheckSumOk, "File not found", 30},
    {"TraceUnwritableAfterAWrongCheckSum", {"--wrong-checksum"}, TDisturbance::None,
     {"--trace=/dev/full"},
     ExitCheckSumError, LogCheckSumError, "Disk is full", 30},
    {"LogUnwritableAfterAHangUp", {"--hangup-after", "100"}, TDisturbance::None,
     {"--log={dir}/missing/run.log"},
     ExitSectorError, "Sector 101 ERROR", "File not found", 30},
    {"InterruptDuringTheHandshake", {"--silent"}, TDisturbance::InterruptAtLine, {},
     ExitInterrupted, LogGetInTouch, "", 10, LogGetInTouch},
    {"InterruptDuringTheTransfer", {"--pace", "9600"}, TDisturbance::InterruptAtLine, {},
     ExitInterrupted, "Sector 0", "", 20, "Sector 008 OK"},
};
// clang-format on

class FaultMatrix : public TFlashTest, public ::testing::WithParamInterface<TFault> {
protected:
    // Only root can become another user; any other user is kept out of the simulator's device,
    // which it owns, by taking its own rights away.
    static bool RunsAsNobody(const TFault& fault) {
        return fault.disturbance == TDisturbance::AsNobody && geteuid() == 0;
    }

    std::vector<std::string> FlashArguments(const TFault& fault, const std::string& port) {
        std::vector<std::string> args;
        if (RunsAsNobody(fault)) {
            args = {"--reuid=65534", "--regid=65534", "--clear-groups",
                    ProgramPath("brinomar-flash")};
        }
        args.insert(args.end(), {"--port", port, "--no-progress"});
        for (std::string option : fault.options) {
            if (const size_t at = option.find("{dir}"); at != std::string::npos) {
                option.replace(at, 5, dir.Path().string());
            }
            args.push_back(option);
        }
        args.push_back(ExampleFirmware());
        return args;
    }

    // Runs brinomar-flash; with InterruptAtLine it gets SIGINT once that line is logged.
    TFlashRun Run(const TFault& fault, const std::string& port) {
        const std::string program =
            RunsAsNobody(fault) ? "/usr/bin/setpriv" : ProgramPath("brinomar-flash");
        TFlashRun run;
        {
            TChildProcess flash(program, FlashArguments(fault, port), dir.File("flash.err"));
            if (fault.disturbance == TDisturbance::InterruptAtLine) {
                while (std::optional<std::string> line = flash.ReadLine(kRunMs)) {
                    run.Log.push_back(*line);
                    if (*line == fault.interruptAt) {
                        flash.Signal(SIGINT);
                        break;
                    }
                }
            }
            const std::vector<std::string> rest = flash.ReadLines(kRunMs);
            run.Log.insert(run.Log.end(), rest.begin(), rest.end());
            run.Status = flash.Wait(kEndMs);
        }
        run.Err = dir.Read("flash.err");
        return run;
    }
};

TEST_P(FaultMatrix, EndsWithTheRightLineStatusAndMessageInTime) {
    const TFault& fault = GetParam();
    std::vector<std::string> device = fault.device;
    const std::string link = dir.File("port");
    if (fault.disturbance == TDisturbance::RemoveLink) {
        device.insert(device.end(), {"--link", link});
    }
    TDevsim simulator(device, dir.File("devsim.err"));
    ASSERT_FALSE(simulator.Path().empty());
    std::string port = simulator.Path();
    if (fault.disturbance == TDisturbance::RemoveLink) {
        ASSERT_TRUE(std::filesystem::is_symlink(link));
        std::filesystem::remove(link);
        port = link;
    }
    if (fault.disturbance == TDisturbance::AsNobody && geteuid() != 0) {
        ASSERT_EQ(chmod(port.c_str(), 0), 0);
    }
    int32_t holder = 0;
    if (fault.disturbance == TDisturbance::HoldPort) {
        holder = kivo::SerialOpen(port);
        ASSERT_GT(holder, 0);
    }

    const TClock::time_point start = TClock::now();
    const TFlashRun run = Run(fault, port);
    const auto seconds = std::chrono::duration<double>(TClock::now() - start).count();
    if (holder > 0) {
        kivo::SerialClose(holder);
    }

    EXPECT_EQ(run.Status, fault.status) << run.Err;
    ASSERT_FALSE(run.Log.empty());
    EXPECT_EQ(run.Log.back().rfind(fault.lastLine, 0), 0u) << run.Log.back();
    if (fault.message.empty()) {
        EXPECT_EQ(run.Err, "");
    } else {
        EXPECT_NE(run.Err.find(fault.message), std::string::npos) << run.Err;
    }
    EXPECT_LT(seconds, fault.maxSeconds);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<TFault>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace brinomar::testing
