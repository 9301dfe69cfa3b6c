#include "comm/util/oomisc.h"

#include "comm/platform/clock.h"
#include "comm/platform/sync.h"
#include "comm/platform/winmsg.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace kivo {

namespace {

std::atomic<uint32_t> clockDivisor{0};

uint32_t DivisorForFrequency(uint64_t frequency) {
    if ((frequency >> 32) != 0) {
        return 0;
    }
    auto perSecond = static_cast<uint32_t>(frequency);
    uint32_t divisor = perSecond / 1000;
    if (perSecond % 1000 > 500) {
        ++divisor;
    }
    return divisor;
}

// The divisor is in place before main() runs; a KvTimeGetTime call from an earlier static
// initialiser reads the millisecond clock, which counts from the same origin.
const uint32_t initialDivisor = InitClockDivisor();

int32_t CurrentTicks() {
    return static_cast<int32_t>(KvTimeGetTime() / kMillisecondsPerTick);
}

// Timer arithmetic wraps like the 32-bit registers it was designed for, so that a timer holding
// odd values never overflows into undefined behaviour.
int32_t WrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t WrapSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

int32_t Saturate(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// Sleeps to the next tick boundary of the clock; with `yield`, a message or a wake-up of this
// thread ends the sleep early.
void WaitForNextTick(bool yield) {
    const uint32_t untilBoundary = MillisecondsToNextTick();
    if (yield) {
        WaitMessage(untilBoundary);
    } else {
        Sleep(untilBoundary);
    }
}

} // namespace

uint32_t InitClockDivisor() {
    uint32_t divisor = DivisorForFrequency(QueryPerformanceFrequency());
    clockDivisor.store(divisor, std::memory_order_relaxed);
    return divisor;
}

uint32_t ClockDivisor() {
    return clockDivisor.load(std::memory_order_relaxed);
}

uint32_t KvTimeGetTime() {
    uint32_t divisor = clockDivisor.load(std::memory_order_relaxed);
    if (divisor == 0) {
        return timeGetTime();
    }
    return static_cast<uint32_t>(QueryPerformanceCounter() / divisor);
}

// The products are formed in 64 bits: in 32 bits, 21 minutes of milliseconds or 15 days of
// seconds would already overflow into negative tick counts.
int32_t Secs2Ticks(int32_t seconds) {
    return Saturate(int64_t{seconds} * 1675 / 92);
}

int32_t Ticks2Secs(int32_t ticks) {
    return Saturate((int64_t{ticks} + 9) * 92 / 1675);
}

int32_t MSecs2Ticks(int32_t milliseconds) {
    return Saturate(int64_t{milliseconds} * 1675 / 92000);
}

uint32_t MillisecondsToNextTick() {
    return kMillisecondsPerTick - KvTimeGetTime() % kMillisecondsPerTick;
}

void NewTimer(EventTimer& timer, int32_t ticks) {
    ticks = std::min(ticks, kMaxTimerTicks);
    timer.Started = CurrentTicks();
    timer.Expires = WrapAdd(timer.Started, ticks);
}

void NewTimerSecs(EventTimer& timer, int32_t seconds) {
    NewTimer(timer, Secs2Ticks(seconds));
}

bool TimerExpired(const EventTimer& timer) {
    int32_t now = CurrentTicks();
    if (now > timer.Expires) {
        return true;
    }
    return now < timer.Started && WrapAdd(now, kTicksPerClockRestart) > timer.Expires;
}

int32_t ElapsedTime(const EventTimer& timer) {
    int32_t now = CurrentTicks();
    if (now >= timer.Started) {
        return WrapSub(now, timer.Started);
    }
    return WrapAdd(now, WrapSub(kTicksPerClockRestart, timer.Started));
}

int32_t ElapsedTimeInSecs(const EventTimer& timer) {
    return Ticks2Secs(ElapsedTime(timer));
}

// Wide enough for an expiry far in the past (a timer set or extended by a very negative
// duration), which would otherwise wrap round to a time far ahead.
int32_t RemainingTime(const EventTimer& timer) {
    const int64_t now = CurrentTicks();
    const int64_t remaining = now >= timer.Started
                                  ? timer.Expires - now
                                  : int64_t{timer.Expires} - kTicksPerClockRestart - now;
    return static_cast<int32_t>(std::max<int64_t>(remaining, 0));
}

int32_t RemainingTimeInSecs(const EventTimer& timer) {
    return Ticks2Secs(RemainingTime(timer));
}

int32_t SafeYield() {
    uint32_t word = 0;
    TMsg msg;
    if (PeekMessage(msg, 0, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The main loop still has to see it.
            PostQuitMessage(static_cast<int32_t>(msg.wParam));
        } else {
            TranslateMessage(msg);
            DispatchMessage(msg);
        }
        word = ((msg.hwnd & 0xFFFFu) << 16) | (msg.message & 0xFFFFu);
    }
    ProcessHostLoopOnce();
    return static_cast<int32_t>(word);
}

int32_t DelayTicks(int32_t ticks, bool yield) {
    if (ticks <= 0) {
        return 0;
    }
    EventTimer timer;
    NewTimer(timer, ticks);
    int32_t result = 0;
    for (;;) {
        if (yield) {
            result = SafeYield();
            if (result == static_cast<int32_t>(WM_QUIT)) {
                break;
            }
        }
        if (TimerExpired(timer)) {
            break;
        }
        // After a message, look for the next one at once; only an empty queue sleeps.
        if (result == 0) {
            WaitForNextTick(yield);
        }
    }
    return result;
}

void DelayMS(uint32_t milliseconds) {
    uint32_t previous = KvTimeGetTime();
    uint64_t elapsed = 0;
    while (elapsed < milliseconds) {
        Sleep(static_cast<uint32_t>(milliseconds - elapsed));
        uint32_t now = KvTimeGetTime();
        elapsed += static_cast<uint32_t>(now - previous);
        previous = now;
    }
}

void* AddWordToPtr(void* pointer, uint16_t count) {
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(pointer) + count);
}

const void* AddWordToPtr(const void* pointer, uint16_t count) {
    return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(pointer) + count);
}

} // namespace kivo
