// Sixteen updates at once in one process, each on its own port component and thread against
// its own simulator pacing the line at 115200 baud, against one update alone: the line is the
// limit, so sixteen should take hardly longer than one.
#include "bench/bench_table.h"
#include "bench/support/update_support.h"

#include "app/mainfrm.h"
#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaud = 115200;
constexpr int kParallel = 16;
constexpr int kFirstPortNumber = 30;

// Keeps the last line; the outcome tells the rest.
class TQuietLog : public brinomar::IUpdateLog {
public:
    void Clear() override {}
    void Add(const std::string&) override {}
};

// One update on a port component of its own, on the calling thread: true after "CheckSum OK".
bool UpdateOn(int portNumber, const brinomar::TRomImage& image) {
    kivo::UsePreciseTimers();
    kivo::TKvdComPort port;
    brinomar::ConfigureUpdatePort(port);
    port.SetComNumber(static_cast<uint16_t>(portNumber));
    port.SetBaud(kBaud);
    TQuietLog log;
    brinomar::TUpdateRun run(port, image, log);
    bool ok = false;
    try {
        ok = run.Execute() == brinomar::TUpdateOutcome::uoCheckSumOk;
        port.SetOpen(false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "port %d: %s\n", portNumber, e.what());
    }
    return ok;
}

// `count` updates at once, each against its own simulator; the seconds until the last one
// ended, or a negative value when one failed.
double UpdatesAtOnce(int count, const brinomar::TRomImage& image) {
    std::vector<std::unique_ptr<TSimulator>> simulators;
    for (int n = 0; n < count; ++n) {
        simulators.push_back(std::make_unique<TSimulator>(kBaud));
        const auto& path = simulators.back()->DevicePath();
        if (!path || kivo::RegisterComPort(kFirstPortNumber + n, *path) != 0) {
            return -1;
        }
    }
    std::vector<char> ok(static_cast<size_t>(count), 0);
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int n = 0; n < count; ++n) {
        threads.emplace_back(
            [&, n] { ok[static_cast<size_t>(n)] = UpdateOn(kFirstPortNumber + n, image); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int n = 0; n < count; ++n) {
        kivo::UnregisterComPort(kFirstPortNumber + n);
    }
    return std::all_of(ok.begin(), ok.end(), [](char k) { return k != 0; }) ? seconds : -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace
} // namespace bench

// Usage: bench_parallel_updates [ROUNDS]   (default 3)
int main(int argc, char** argv) {
    using namespace bench;
    if (!std::filesystem::exists(ProgramDirectory() + "/brinomar-devsim")) {
        PrintSkipped("16 updates at once", "port component", "brinomar-devsim is not built");
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const THexFile hexFile(TestImage());
    brinomar::TRomImage image;
    image.LoadFile(hexFile.Path());
    std::fprintf(stderr, "%d updates at once against one alone, %d rounds, at %d baud\n", kParallel,
                 rounds, kBaud);
    std::vector<double> one;
    std::vector<double> many;
    for (int round = 0; round < rounds; ++round) {
        one.push_back(UpdatesAtOnce(1, image));
        many.push_back(UpdatesAtOnce(kParallel, image));
        if (one.back() < 0 || many.back() < 0) {
            std::fprintf(stderr, "an update failed\n");
            return 1;
        }
    }
    const double single = Median(one);
    const double all = Median(many);
    PrintRow("1 update alone (s)", "port component", Fixed(single, 3),
             Over(single / WireSeconds(kBaud)));
    PrintRow("16 updates at once (s)", "port component", Fixed(all, 3), Times(all / single),
             Target("<= 1.10 x one", all <= 1.1 * single));
    return 0;
}
