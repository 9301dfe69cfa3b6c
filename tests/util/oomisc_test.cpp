#include "comm/platform/clock.h"
#include "comm/platform/winmsg.h"
#include "comm/util/oomisc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kivo {
namespace {

TEST(TickConversions, UseTheirFixedFactors) {
    EXPECT_EQ(18, Secs2Ticks(1));
    EXPECT_EQ(182, Secs2Ticks(10));
    EXPECT_EQ(1092, Secs2Ticks(60));
    EXPECT_EQ(-18, Secs2Ticks(-1)) << "division truncates toward zero";
    EXPECT_EQ(1, Ticks2Secs(18));
    EXPECT_EQ(0, Ticks2Secs(0));
    EXPECT_EQ(0, Ticks2Secs(-9));
    EXPECT_EQ(18, MSecs2Ticks(1000));
    EXPECT_EQ(1, MSecs2Ticks(100));
    EXPECT_EQ(1, MSecs2Ticks(55));
    EXPECT_EQ(0, MSecs2Ticks(54));
}

TEST(TickConversions, LongDurationsDoNotOverflow) {
    EXPECT_EQ(65543, MSecs2Ticks(3'600'000)) << "an hour in milliseconds";
    EXPECT_EQ(1'573'043, Secs2Ticks(86'400)) << "a day in seconds";
    EXPECT_EQ(2'144'570, Ticks2Secs(kMaxTimerTicks)) << "the longest timer in seconds";
    EXPECT_EQ(INT32_MAX, Secs2Ticks(INT32_MAX));
    EXPECT_EQ(INT32_MIN, Secs2Ticks(INT32_MIN));
}

// The counter behind the clock, set by the tests in milliseconds at 1,000,000 units each.
std::atomic<uint64_t> fakeCounter{0};
std::atomic<int> counterReads{0};
uint64_t FakeCounter() {
    ++counterReads;
    return fakeCounter.load();
}

class FakeClock : public ::testing::Test {
protected:
    void SetUp() override { UseFrequency(1'000'000'000); }
    void TearDown() override {
        SetPerformanceCounterSource(nullptr, 0);
        InitClockDivisor();
    }
    static uint32_t UseFrequency(uint64_t frequency) {
        SetPerformanceCounterSource(FakeCounter, frequency);
        return InitClockDivisor();
    }
    static void SetMilliseconds(uint64_t milliseconds) { fakeCounter = milliseconds * 1'000'000; }
    static void SetTicks(int32_t ticks) { SetMilliseconds(uint64_t(ticks) * kMillisecondsPerTick); }
};

TEST_F(FakeClock, DivisorRoundsUpOnlyAboveHalf) {
    EXPECT_EQ(3580u, UseFrequency(3'579'545));
    EXPECT_EQ(3579u, UseFrequency(3'579'500));
    EXPECT_EQ(1'000'000u, UseFrequency(1'000'000'000));
    EXPECT_EQ(1u, UseFrequency(501));
    EXPECT_EQ(0u, UseFrequency(500));
}

TEST_F(FakeClock, WithoutDivisorTheMillisecondClockIsUsed) {
    for (uint64_t frequency : {uint64_t{0}, uint64_t{1} << 32}) {
        ASSERT_EQ(0u, UseFrequency(frequency));
        fakeCounter = 123'456'789'000'000;
        uint32_t before = timeGetTime();
        uint32_t clock = KvTimeGetTime();
        EXPECT_LE(uint32_t(clock - before), 1000u) << "frequency " << frequency;
    }
}

TEST_F(FakeClock, MillisecondsAreTruncatedTo32Bits) {
    UseFrequency(3'579'545);
    fakeCounter = (uint64_t{1} << 32) * 3580 + 3580 * 5 + 3579;
    EXPECT_EQ(5u, KvTimeGetTime());
}

TEST_F(FakeClock, NewTimerClampsLongDurations) {
    SetTicks(1000);
    EventTimer timer;
    NewTimer(timer, 40'000'000);
    EXPECT_EQ(1000, timer.Started);
    EXPECT_EQ(1000 + kMaxTimerTicks, timer.Expires);
    NewTimer(timer, -5);
    EXPECT_EQ(995, timer.Expires) << "negative durations are kept";
    NewTimer(timer, INT32_MIN);
    SetTicks(1001);
    EXPECT_TRUE(TimerExpired(timer));
    EXPECT_EQ(0, RemainingTime(timer)) << "an expiry long gone, not one far ahead";
    SetTicks(1000);
    NewTimerSecs(timer, 10);
    EXPECT_EQ(1182, timer.Expires);
}

TEST_F(FakeClock, TimerExpiresOnceTheTickCountPassesExpires) {
    SetTicks(1000);
    EventTimer timer;
    NewTimer(timer, 18);
    SetTicks(1018);
    EXPECT_FALSE(TimerExpired(timer));
    EXPECT_EQ(18, ElapsedTime(timer));
    EXPECT_EQ(0, RemainingTime(timer));
    SetTicks(1019);
    EXPECT_TRUE(TimerExpired(timer));
    EXPECT_EQ(0, RemainingTime(timer)) << "never negative";
    EXPECT_EQ(1, ElapsedTimeInSecs(timer));

    NewTimer(timer, 0);
    EXPECT_FALSE(TimerExpired(timer)) << "a 0-tick timer waits for the next tick";
    SetMilliseconds(1020 * kMillisecondsPerTick - 1);
    EXPECT_FALSE(TimerExpired(timer));
    SetTicks(1020);
    EXPECT_TRUE(TimerExpired(timer));
}

// The tick count restarts with the millisecond clock every 49.7 days; a timer running across
// that moment still expires after its own duration, not weeks later.
TEST_F(FakeClock, TimerAcrossTheClockRestartKeepsItsDuration) {
    constexpr uint64_t kRestart = uint64_t{1} << 32; // milliseconds
    SetTicks(kTicksPerClockRestart - 15);
    EventTimer timer;
    NewTimer(timer, 18);
    ASSERT_EQ(kTicksPerClockRestart + 3, timer.Expires);

    SetMilliseconds(kRestart + 1 * kMillisecondsPerTick); // tick 1 after the restart
    EXPECT_FALSE(TimerExpired(timer));
    EXPECT_EQ(16, ElapsedTime(timer));
    EXPECT_EQ(2, RemainingTime(timer));
    SetMilliseconds(kRestart + 3 * kMillisecondsPerTick);
    EXPECT_FALSE(TimerExpired(timer));
    EXPECT_EQ(0, RemainingTime(timer));
    SetMilliseconds(kRestart + 4 * kMillisecondsPerTick);
    EXPECT_TRUE(TimerExpired(timer));
    EXPECT_EQ(19, ElapsedTime(timer));

    // A timer set long before the restart is long expired after it.
    SetTicks(40'000'000);
    NewTimer(timer, 1000);
    SetMilliseconds(kRestart + 10 * kMillisecondsPerTick);
    EXPECT_TRUE(TimerExpired(timer));
    EXPECT_EQ(0, RemainingTime(timer));
    EXPECT_EQ(10 + kTicksPerClockRestart - 40'000'000, ElapsedTime(timer));
}

TEST_F(FakeClock, DelayWithoutTicksDoesNotReadTheClock) {
    counterReads = 0;
    EXPECT_EQ(0, DelayTicks(0, true));
    EXPECT_EQ(0, DelayTicks(-5, false));
    EXPECT_EQ(0, counterReads.load());
}

TEST_F(FakeClock, DelayTicksEndsOnQuitAndLeavesItPosted) {
    PostQuitMessage(3);
    EXPECT_EQ(18, DelayTicks(1000, true));
    TMsg msg;
    ASSERT_TRUE(PeekMessage(msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(WM_QUIT, msg.message);
    EXPECT_EQ(3u, msg.wParam);
}

// Yielding waits handle the thread's window messages.
struct Seen {
    static inline std::atomic<int> messages{0};
    static LRESULT Proc(HWND, UINT, WPARAM, LPARAM) {
        ++messages;
        return 0;
    }
};

class Yielding : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterClass(TWndClass{"kwYieldTest", Seen::Proc, 0});
        window_ = CreateWindow("kwYieldTest");
        Seen::messages = 0;
    }
    void TearDown() override { DestroyWindow(window_); }
    HWND window_ = 0;
};

TEST_F(Yielding, SafeYieldHandlesOneMessageAndReportsIt) {
    EXPECT_EQ(0, SafeYield());
    PostMessage(window_, 0x7E0A, 0, 0);
    PostMessage(window_, 0x7E0A, 0, 0);
    EXPECT_EQ(static_cast<int32_t>(((window_ & 0xFFFF) << 16) | 0x7E0A), SafeYield());
    EXPECT_EQ(1, Seen::messages.load());
    SafeYield();
    EXPECT_EQ(2, Seen::messages.load());
    PostQuitMessage(0);
    EXPECT_EQ(18, SafeYield());
    EXPECT_EQ(18, SafeYield()) << "the quit message stays posted";
    TMsg msg;
    PeekMessage(msg, 0, 0, 0, PM_REMOVE);
}

TEST_F(Yielding, DelayTicksHandlesMessagesFromOtherThreadsWhileItWaits) {
    HWND window = window_;
    std::thread poster([window] { PostMessage(window, WM_USER, 0, 0); });
    DelayTicks(3, true);
    poster.join();
    EXPECT_EQ(1, Seen::messages.load());
}

TEST(Delays, LastAtLeastTheirTime) {
    uint32_t start = KvTimeGetTime();
    DelayMS(30);
    EXPECT_GE(KvTimeGetTime() - start, 30u);
    start = KvTimeGetTime();
    EXPECT_EQ(0, DelayTicks(2, false));
    EXPECT_GE(KvTimeGetTime() - start, kMillisecondsPerTick + 1) << "at least one full tick";
}

TEST(Misc, PointerArithmeticAndComponentVersion) {
    char buffer[8] = {};
    EXPECT_EQ(buffer + 5, AddWordToPtr(static_cast<void*>(buffer), 5));
    TKvdBaseComponent component;
    component.SetVersion("v9");
    EXPECT_EQ("v3.01", component.Version());
}

} // namespace
} // namespace kivo
