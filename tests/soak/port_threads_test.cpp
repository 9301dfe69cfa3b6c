// Several port components in one process, each opened, fed and closed over and over by a thread
// of its own that runs its own messages: every byte a port's far end echoes must come back to
// that port's avail handler, in order, and to no other. KIVO_THREAD_ROUNDS sets the rounds per
// port (20 by default).
#include "comm/port/kvport.h"
#include "tests/dispatch/serial_line.h"
#include "tests/fakes/message_pump.h"
#include "tests/soak/soak_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kivo::testing {
namespace {

constexpr int kFirstPortNumber = 50;
constexpr int kPorts = 4;
constexpr uint32_t kPumpMs = 10000;

// An echoed port and what its avail handler took in.
class TEchoedLine {
public:
    explicit TEchoedLine(int number) : line_(number) {
        port.SetOnTriggerAvail(TTriggerAvailEvent::Bind<&TEchoedLine::OnAvail>(this));
    }
    ~TEchoedLine() {
        port.SetOpen(false);
        Pump([this] { return port.PortState() == psClosed; });
    }
    TEchoedLine(const TEchoedLine&) = delete;
    TEchoedLine& operator=(const TEchoedLine&) = delete;

    bool Registered() const { return line_.Registered(); }

    bool Pump(const std::function<bool()>& done) {
        return PumpUntil(done, kPumpMs,
                         [this] { return port.Open() ? port.Dispatcher() : nullptr; });
    }

    void OnAvail(TKvdCustomComPort* cp, uint16_t count) {
        if (cp != &port) {
            ++strangers;
            return;
        }
        std::string part(count, '\0');
        port.GetBlock(part.data(), count);
        received += part;
    }

private:
    TEchoedPort line_;

public:
    TKvdComPort& port = line_.port;
    std::string received;
    int strangers = 0;
};

// One thread's rounds; the number of rounds that went wrong.
int EchoRounds(int index, uint32_t rounds) {
    TEchoedLine line(kFirstPortNumber + index);
    if (!line.Registered()) {
        return static_cast<int>(rounds);
    }
    int failures = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
        line.received.clear();
        line.port.SetOpen(true);
        // A close that waited for a notification still running reopens once it completes.
        line.Pump([&] { return line.port.PortState() == psOpen; });
        const std::string bytes =
            Pattern(3000 + static_cast<size_t>(index) * 100, round * kPorts + index);
        line.port.PutBlock(bytes.data(), static_cast<uint16_t>(bytes.size()));
        if (!line.Pump([&] { return line.received.size() >= bytes.size(); }) ||
            line.received != bytes) {
            ++failures;
        }
        line.port.SetOpen(false);
    }
    return failures + line.strangers;
}

TEST(PortThreads, EachThreadsPortGetsItsOwnBytesAndNotifications) {
    const uint32_t rounds = EnvNumber("KIVO_THREAD_ROUNDS", 20);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < kPorts; ++i) {
        threads.emplace_back([i, rounds, &failures] { failures += EchoRounds(i, rounds); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
}

} // namespace
} // namespace kivo::testing
