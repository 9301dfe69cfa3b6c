// Processor time of the waits that used to spin: the share of one core that DelayTicks and
// DelayMS use while nothing else happens (goal: under 2 %).
#include "comm/platform/clock.h"
#include "comm/util/oomisc.h"

#include <cstdio>
#include <ctime>

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
    std::printf("%-28s wall %6.3f s   cpu %8.5f s   %5.2f %% of one core\n", what, wall, cpu,
                100.0 * cpu / wall);
}

} // namespace

int main() {
    Measure("DelayTicks(36, true)", [] { DelayTicks(36, true); });
    Measure("DelayTicks(36, false)", [] { DelayTicks(36, false); });
    Measure("DelayMS(2000)", [] { DelayMS(2000); });
    return 0;
}
