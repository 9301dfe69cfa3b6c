#include "comm/platform/clock.h"

#include <atomic>
#include <ctime>

namespace kivo {

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;

std::atomic<PerformanceCounterFn> counterOverride{nullptr};
std::atomic<uint64_t> frequencyOverride{0};

uint64_t MonotonicNanoseconds() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond +
           static_cast<uint64_t>(now.tv_nsec);
}

} // namespace

uint64_t QueryPerformanceCounter() {
    PerformanceCounterFn counter = counterOverride.load(std::memory_order_acquire);
    return counter ? counter() : MonotonicNanoseconds();
}

uint64_t QueryPerformanceFrequency() {
    if (counterOverride.load(std::memory_order_acquire)) {
        return frequencyOverride.load(std::memory_order_relaxed);
    }
    return kNanosecondsPerSecond;
}

uint32_t timeGetTime() {
    return static_cast<uint32_t>(MonotonicNanoseconds() / 1'000'000);
}

void SetPerformanceCounterSource(PerformanceCounterFn counter, uint64_t frequency) {
    frequencyOverride.store(frequency, std::memory_order_relaxed);
    counterOverride.store(counter, std::memory_order_release);
}

} // namespace kivo
