// The port component's waits on a pseudo-terminal with the dispatcher's threads:
//   - the processor time of a 10-second WaitForString that times out (goal: under 2 % of the
//     wall time, counting every thread of the process);
//   - the latency from a byte written at the far end to WaitForString returning true (goal:
//     median under 250 microseconds), with and without yield.
#include "bench/bench_table.h"
#include "comm/platform/clock.h"
#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"
#include "comm/platform/serial.h"
#include "comm/port/kvport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kivo;

namespace {

constexpr uint16_t kBenchPort = 48;

double CpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

uint64_t NowNs() {
    return QueryPerformanceCounter();
}

void MeasureTimeoutCpu(TKvdComPort& port, bool yield) {
    const double threadStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double processStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t wallStart = NowNs();
    const bool found = port.WaitForString("never", Secs2Ticks(10), yield, false);
    const double wall = static_cast<double>(NowNs() - wallStart) / 1e9;
    const double thread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    const double share = 100.0 * process / wall;
    bench::PrintRow(std::string("10 s WaitForString timeout CPU %") + (yield ? " y" : ""),
                    "port component", bench::Fixed(share, 3) + (found ? " (found!)" : ""),
                    "thread " + bench::Fixed(100.0 * thread / wall, 3),
                    bench::Target("< 2 % of wall", share < 2 && !found));
}

// The far end: writes one byte whenever the waiting side asks, after a pause that lets the
// wait settle into its sleep, and notes when it wrote.
class TFarEnd {
public:
    explicit TFarEnd(int32_t master) : master_(master), thread_([this] { Run(); }) {}
    ~TFarEnd() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    void RequestByte() {
        {
            std::lock_guard guard(lock_);
            requested_ = true;
        }
        wake_.notify_one();
    }

    uint64_t WrittenAt() const { return writtenAt_.load(); }

private:
    void Run() {
        for (;;) {
            {
                std::unique_lock guard(lock_);
                wake_.wait(guard, [this] { return requested_ || stop_; });
                if (stop_) {
                    return;
                }
                requested_ = false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            writtenAt_ = NowNs();
            SerialWrite(master_, "x", 1);
        }
    }

    const int32_t master_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stop_ = false;
    std::atomic<uint64_t> writtenAt_{0};
    std::thread thread_;
};

void MeasureLatency(TKvdComPort& port, int32_t master, bool yield, int rounds) {
    TFarEnd farEnd(master);
    std::vector<double> micros;
    int missed = 0;
    for (int i = 0; i < rounds; ++i) {
        farEnd.RequestByte();
        if (!port.WaitForString("x", 18, yield, false)) {
            ++missed;
            continue;
        }
        const uint64_t returned = NowNs();
        micros.push_back(static_cast<double>(returned - farEnd.WrittenAt()) / 1e3);
    }
    const std::string measurement = std::string("byte to WaitForString (us)") + (yield ? " y" : "");
    if (micros.empty()) {
        bench::PrintRow(measurement, "port component", "no byte");
        return;
    }
    std::sort(micros.begin(), micros.end());
    const double median = micros[micros.size() / 2];
    const double p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    bench::PrintRow(measurement, "port component",
                    bench::Fixed(median, 1) + " / " + bench::Fixed(p99, 1),
                    missed > 0 ? std::to_string(missed) + " missed" : "",
                    bench::Target("median < 250", median < 250 && missed == 0));
}

} // namespace

int main() {
    UsePreciseTimers();
    TPtyPair pty;
    if (PtyOpen(pty) != 0 || RegisterComPort(kBenchPort, pty.SlavePath) != 0) {
        std::fprintf(stderr, "no pseudo-terminal available\n");
        return 1;
    }
    {
        TKvdComPort port;
        port.SetComNumber(kBenchPort);
        port.SetBaud(9600);
        port.SetOpen(true);
        MeasureTimeoutCpu(port, true);
        MeasureTimeoutCpu(port, false);
        MeasureLatency(port, pty.Master, true, 2000);
        MeasureLatency(port, pty.Master, false, 2000);
        port.SetOpen(false);
    }
    UnregisterComPort(kBenchPort);
    PtyClose(pty);
    return 0;
}
