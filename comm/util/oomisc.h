// Tick clock, event timers and yielding waits.
//
// Every time-out in the library is counted in ticks: the millisecond clock divided by 55. The
// conversions from seconds and milliseconds assume 18.2065 ticks per second; both figures are
// used exactly as they stand, because stored settings and peers count with them.
#pragma once

#include "comm/platform/component.h"

#include <cstdint>
#include <string>

namespace kivo {

// The largest timer duration in ticks: 2^31 ms / 55.
constexpr int32_t kMaxTimerTicks = 39045157;

// Milliseconds per tick of the clock.
constexpr uint32_t kMillisecondsPerTick = 55;

// The ticks after which the tick count restarts at 0 with the 32-bit millisecond clock
// (78090315; its last tick is a short one). A tick count found below a timer's start is this
// much further on; judged by anything less, a timer that spans the restart would wait for weeks.
constexpr int32_t kTicksPerClockRestart = UINT32_MAX / kMillisecondsPerTick + 1;

// A timer: the tick count when it was set and the tick count at which it expires.
struct EventTimer {
    int32_t Started = 0;
    int32_t Expires = 0;
};

// Milliseconds of the clock: the performance counter divided by the clock divisor, or the
// platform millisecond clock when there is no divisor. Restarts at 0 after 2^32 - 1.
uint32_t KvTimeGetTime();

// Recomputes the clock divisor from the performance-counter frequency and returns it: the
// counter units per millisecond, rounded up only when the remainder exceeds 500; 0 (use the
// millisecond clock) when the frequency is 0 or does not fit in 32 bits. Runs once when the
// library loads; tests call it again after replacing the counter.
uint32_t InitClockDivisor();
uint32_t ClockDivisor();

// Conversions. Results that do not fit 32 bits saturate.
int32_t Secs2Ticks(int32_t seconds);       // seconds * 1675 / 92
int32_t Ticks2Secs(int32_t ticks);         // (ticks + 9) * 92 / 1675
int32_t MSecs2Ticks(int32_t milliseconds); // milliseconds * 1675 / 92000

// Milliseconds of the clock from now to the next tick boundary: 1 to kMillisecondsPerTick.
uint32_t MillisecondsToNextTick();

// Sets a timer to expire `ticks` from now (at most kMaxTimerTicks).
void NewTimer(EventTimer& timer, int32_t ticks);
void NewTimerSecs(EventTimer& timer, int32_t seconds);
// True once the tick count has moved past Expires; a 0-tick timer expires on the next tick.
bool TimerExpired(const EventTimer& timer);
int32_t ElapsedTime(const EventTimer& timer);
int32_t ElapsedTimeInSecs(const EventTimer& timer);
int32_t RemainingTime(const EventTimer& timer); // never negative
int32_t RemainingTimeInSecs(const EventTimer& timer);

// Takes one message of the calling thread's queue and handles it, then lets a hooked host loop
// run once. Returns 0 when no message was waiting; otherwise the message code in the low word
// and the low word of its window handle in the high word. The quit message is posted again for
// the main loop and gives exactly 18.
int32_t SafeYield();

// Waits `ticks` ticks (nothing for 0 or less). With `yield`, messages are handled meanwhile and
// a quit message ends the wait early; the result is the last SafeYield result (18 after a
// quit), 0 without yield. The thread sleeps between messages and tick boundaries.
int32_t DelayTicks(int32_t ticks, bool yield);

// Waits the given milliseconds of the clock without handling messages.
void DelayMS(uint32_t milliseconds);

// The pointer advanced by `count` bytes.
void* AddWordToPtr(void* pointer, uint16_t count);
const void* AddWordToPtr(const void* pointer, uint16_t count);

// Base of the library's components: carries the library's version.
class TKvdBaseComponent : public TComponent {
public:
    explicit TKvdBaseComponent(TComponent* owner = nullptr) : TComponent(owner) {}
    std::string Version() const { return "v3.01"; }
    // The version is read-only; the setter exists so that stored layouts naming it load.
    void SetVersion(const std::string&) {}
};

} // namespace kivo
