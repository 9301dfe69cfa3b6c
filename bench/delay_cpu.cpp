// Processor time of the waits that used to spin: the share of one core that DelayTicks and
// DelayMS use while nothing else happens (goal: under 2 %).
#include "bench/bench_table.h"
#include "comm/platform/clock.h"
#include "comm/util/oomisc.h"

#include <ctime>
#include <string>

using namespace kivo;

namespace {

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double WallSeconds() {
    return QueryPerformanceCounter() / 1e9;
}

template <class Wait>
void Measure(const char* what, Wait wait) {
    double cpuStart = ThreadCpuSeconds();
    double wallStart = WallSeconds();
    wait();
    double cpu = ThreadCpuSeconds() - cpuStart;
    double wall = WallSeconds() - wallStart;
    const double share = 100.0 * cpu / wall;
    bench::PrintRow(std::string(what) + " CPU (% of wall)", "tick clock", bench::Fixed(share, 3),
                    "", bench::Target("< 2 %", share < 2));
}

} // namespace

int main() {
    Measure("DelayTicks(36, true)", [] { DelayTicks(36, true); });
    Measure("DelayTicks(36, false)", [] { DelayTicks(36, false); });
    Measure("DelayMS(2000)", [] { DelayMS(2000); });
    return 0;
}
