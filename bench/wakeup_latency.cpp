// Wake-up latency of the hand-offs the dispatcher relies on: an event set on one thread until
// the waiting thread runs, a message posted from another thread until it is dispatched, and the
// round trip of a notification sent with a time-out to a thread that pumps its messages.
#include "bench/bench_table.h"
#include "comm/platform/clock.h"
#include "comm/platform/sync.h"
#include "comm/platform/winmsg.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace kivo;

namespace {

constexpr int kSamples = 20000;

uint64_t NowNs() {
    return QueryPerformanceCounter();
}

void Report(const char* what, std::vector<uint64_t>& samples) {
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2] / 1000.0;
    const double p99 = samples[samples.size() * 99 / 100] / 1000.0;
    bench::PrintRow(std::string(what) + " (us)", "platform layer",
                    bench::Fixed(median, 1) + " / " + bench::Fixed(p99, 1));
}

void EventWakeUp() {
    TEvent go(false, false);
    TEvent back(false, false);
    std::atomic<uint64_t> stamp{0};
    std::vector<uint64_t> samples;
    samples.reserve(kSamples);
    std::thread waiter([&] {
        for (int i = 0; i < kSamples; ++i) {
            go.Wait(INFINITE);
            samples.push_back(NowNs() - stamp.load());
            back.Set();
        }
    });
    for (int i = 0; i < kSamples; ++i) {
        stamp = NowNs();
        go.Set();
        back.Wait(INFINITE);
    }
    waiter.join();
    Report("event set->waiter runs, med/p99", samples);
}

std::atomic<uint64_t> postStamp{0};
std::vector<uint64_t> postSamples;
TEvent* dispatched = nullptr;

LRESULT RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER) {
        postSamples.push_back(NowNs() - postStamp.load());
        dispatched->Set();
        return 0;
    }
    if (message == WM_USER + 1) {
        return 1;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

void PostAndSend() {
    RegisterClass(TWndClass{"kwBenchWindow", RecordingProc, 0});
    HWND window = CreateWindow("kwBenchWindow");
    ThreadId self = GetCurrentThreadId();
    TEvent done(false, false);
    dispatched = &done;
    postSamples.reserve(kSamples);
    std::vector<uint64_t> sendSamples;
    sendSamples.reserve(kSamples);
    std::thread other([&] {
        for (int i = 0; i < kSamples; ++i) {
            postStamp = NowNs();
            PostMessage(window, WM_USER, 0, 0);
            done.Wait(INFINITE);
        }
        for (int i = 0; i < kSamples; ++i) {
            uint64_t start = NowNs();
            SendMessageTimeout(window, WM_USER + 1, 0, 0, SMTO_BLOCK, 3000);
            sendSamples.push_back(NowNs() - start);
        }
        PostThreadMessage(self, WM_QUIT, 0, 0);
    });
    TMsg msg;
    while (GetMessage(msg)) {
        DispatchMessage(msg);
    }
    other.join();
    DestroyWindow(window);
    Report("post->dispatched, med/p99", postSamples);
    Report("send round trip, med/p99", sendSamples);
}

} // namespace

int main() {
    EventWakeUp();
    PostAndSend();
    return 0;
}
