// The platform clocks: a high-resolution counter with its frequency and a millisecond clock.
// Both are monotonic (they never step back when the wall clock is set).
#pragma once

#include <cstdint>

namespace kivo {

// The high-resolution counter in counter units; 0 when it cannot be read.
uint64_t QueryPerformanceCounter();

// Counter units per second (1,000,000,000 on this platform); 0 when the counter is missing.
uint64_t QueryPerformanceFrequency();

// Monotonic milliseconds, truncated to 32 bits: restarts at 0 after 2^32 - 1.
uint32_t timeGetTime();

// What is left of a wait of timeoutMs that started at construction (INFINITE, 0xFFFFFFFF: no
// limit).
class TMsTimer {
public:
    explicit TMsTimer(uint32_t timeoutMs) : timeout_(timeoutMs), start_(timeGetTime()) {}
    uint32_t Left() const {
        if (timeout_ == 0xFFFFFFFFu) {
            return timeout_;
        }
        const uint32_t passed = timeGetTime() - start_;
        return passed >= timeout_ ? 0 : timeout_ - passed;
    }

private:
    const uint32_t timeout_;
    const uint32_t start_;
};

// Replaces the counter and its frequency so that tests can put the clock anywhere (close to a
// wrap, a frequency with an odd remainder) without waiting. A null counter restores the
// system clock. The counter function must be safe to call from any thread.
using PerformanceCounterFn = uint64_t (*)();
void SetPerformanceCounterSource(PerformanceCounterFn counter, uint64_t frequency);

} // namespace kivo
