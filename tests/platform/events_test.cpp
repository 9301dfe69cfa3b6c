#include "comm/platform/sync.h"
#include "tests/fakes/child_exit.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>
#include <vector>

namespace kivo {
namespace {

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
    TEvent event(false, false);
    TEvent done(false, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(INFINITE) == WAIT_OBJECT_0) {
                ++released;
                done.Set();
            }
        });
    }
    event.Set();
    ASSERT_EQ(WAIT_OBJECT_0, done.Wait(INFINITE));
    EXPECT_EQ(1, released.load());
    event.Set();
    ASSERT_EQ(WAIT_OBJECT_0, done.Wait(INFINITE));
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(WAIT_TIMEOUT, event.Wait(0)) << "each signal was taken by one waiter";
}

TEST(Events, ManualResetStaysSetUntilReset) {
    TEvent event(true, false);
    std::vector<std::thread> waiters;
    std::atomic<int> released{0};
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(INFINITE) == WAIT_OBJECT_0) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(4, released.load());
    EXPECT_EQ(WAIT_OBJECT_0, event.Wait(0));
    event.Reset();
    EXPECT_EQ(WAIT_TIMEOUT, event.Wait(10));
}

TEST(Events, InitialStateAndTimeout) {
    TEvent set(false, true);
    EXPECT_EQ(WAIT_OBJECT_0, set.Wait(0));
    EXPECT_EQ(WAIT_TIMEOUT, set.Wait(0));
    EXPECT_EQ(WAIT_TIMEOUT, set.Wait(20));
}

TEST(Events, WaitForEitherReportsWhichAndTakesOnlyThatOne) {
    TEvent first(false, false);
    TEvent second(false, false);
    second.Set();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForEitherEvent(first, second, 0));
    first.Set();
    second.Set();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForEitherEvent(first, second, 0)) << "lowest index first";
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForEitherEvent(first, second, 0)) << "second still set";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForEitherEvent(first, second, 10));

    std::thread setter([&] { second.Set(); });
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForEitherEvent(first, second, INFINITE));
    setter.join();
}

TEST(Events, CloseReleasesEveryWaiterAndFailsLaterWaits) {
    TEvent event(false, false);
    TEvent other(false, false);
    std::atomic<int> failed{0};
    std::thread single([&] { failed += event.Wait(INFINITE) == WAIT_FAILED; });
    std::thread pair([&] { failed += WaitForEitherEvent(other, event, INFINITE) == WAIT_FAILED; });
    event.Close();
    single.join();
    pair.join();
    EXPECT_EQ(2, failed.load());
    event.Set();
    EXPECT_EQ(WAIT_FAILED, event.Wait(0));
    EXPECT_TRUE(event.IsClosed());
}

TEST(Events, BadArgumentsFail) {
    TEvent event;
    TEvent* none[] = {&event, nullptr};
    EXPECT_EQ(WAIT_FAILED, WaitForAnyEvent(nullptr, 1, 0));
    EXPECT_EQ(WAIT_FAILED, WaitForAnyEvent(none, 0, 0));
    EXPECT_EQ(WAIT_FAILED, WaitForAnyEvent(none, 2, 0));
}

// A token passed round a ring of threads by auto-reset events: a lost or doubled wake-up
// either hangs the ring or lets two threads hold the token at once.
TEST(Events, TokenRingUnderContentionLosesNoWakeUp) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::unique_ptr<TEvent>> turn;
    for (int i = 0; i < kThreads; ++i) {
        turn.push_back(std::make_unique<TEvent>(false, false));
    }
    TEvent noise(false, false);
    std::atomic<int> holders{0};
    std::atomic<int> passes{0};
    std::vector<std::thread> ring;
    for (int i = 0; i < kThreads; ++i) {
        ring.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                while (WaitForEitherEvent(noise, *turn[i], INFINITE) != WAIT_OBJECT_0 + 1) {
                }
                EXPECT_EQ(1, ++holders);
                ++passes;
                --holders;
                turn[(i + 1) % kThreads]->Set();
                noise.Set();
            }
        });
    }
    turn[0]->Set();
    for (auto& thread : ring) {
        thread.join();
    }
    EXPECT_EQ(kThreads * kRounds, passes.load());
}

// A child forked while another thread waited on an event has only the forking thread: it sets
// and destroys its copy of the event without waiting for a waiter that did not come along.
TEST(Events, AForkedChildIsNotHeldByItsParentsWaiters) {
    auto event = std::make_unique<TEvent>(false, false);
    TEvent waiting(false, false);
    std::thread waiter([&] {
        waiting.Set();
        event->Wait(INFINITE);
    });
    ASSERT_EQ(WAIT_OBJECT_0, waiting.Wait(INFINITE));
    const pid_t child = fork();
    if (child == 0) {
        event->Set();
        event.reset();
        _exit(0);
    }
    const int status = testing::WaitChildExit(child, 30000);
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(status, 0);
    event->Set();
    waiter.join();
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    TCriticalSection section;
    section.Enter();
    EXPECT_TRUE(section.TryEnter()) << "the holder may enter again";
    section.Leave();
    bool otherGotIn = true;
    std::thread other([&] { otherGotIn = section.TryEnter(); });
    other.join();
    EXPECT_FALSE(otherGotIn);
    section.Leave();

    int64_t counter = 0;
    std::atomic<int32_t> interlocked{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                TCriticalSectionGuard guard(section);
                TCriticalSectionGuard nested(section);
                ++counter;
                InterlockedIncrement(interlocked);
            }
            InterlockedDecrement(interlocked);
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(40000, counter);
    EXPECT_EQ(39996, interlocked.load());
}

} // namespace
} // namespace kivo
