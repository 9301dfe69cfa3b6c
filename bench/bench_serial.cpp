// Serial clients side by side on one pseudo-terminal pair, the same work for each: plain
// termios, the dispatcher, the port component, libserialport and pyserial. The far end is a thread
// on the master side that either echoes every byte or, for the stop-and-wait pattern of the update,
// answers "K" to every 128 bytes. Measured per client:
//   - one-byte round trip (median and p99): send a byte, wait until it is back;
//   - bulk echo throughput: 64 MiB sent in 64 KiB writes while the echo is read back;
//   - stop-and-wait: a 128-byte block, then wait for the one-byte acknowledgement.
// The clients take turns, round after round, so that a change in the machine's load meets all
// of them alike. libserialport and pyserial run in child processes (see serial_peers.h).
// Usage: bench_bench_serial [SIDE...]   (the named sides next to termios; all without arguments)
#include "bench/bench_table.h"
#include "bench/support/serial_peers.h"

#include "comm/dispatch/kwwin32.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"
#include "comm/port/kvport.h"
#include "comm/util/oomisc.h"
#include "tests/fakes/pty_far_end.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace kivo;

namespace bench {
namespace {

constexpr int kRounds = 4;
constexpr uint16_t kBenchPort = 47;

// --- Plain termios: blocking reads and writes on the slave.

class TTermiosClient : public TStreamClient {
public:
    explicit TTermiosClient(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd_ >= 0) {
            MakeRaw(fd_);
        }
    }
    ~TTermiosClient() override {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Ready() const override { return fd_ >= 0; }

protected:
    bool Send(const uint8_t* bytes, size_t count) override { return WriteAll(fd_, bytes, count); }
    size_t Receive(uint8_t* buffer, size_t count) override {
        const ssize_t got = read(fd_, buffer, count);
        return got > 0 ? static_cast<size_t>(got) : 0;
    }

private:
    int fd_;
};

// --- The dispatcher with its threads: PutBlock sends or queues, GetBlock takes what is in the
// input ring, and the reader sleeps in WaitForInput, which reads arriving bytes in itself.

size_t DispatcherReceive(TKvdBaseDispatcher& port, uint8_t* buffer, size_t count) {
    port.inputWaiter = GetCurrentThreadId();
    for (;;) {
        const uint32_t ready = std::min<uint32_t>(port.InBuffUsed(), static_cast<uint32_t>(count));
        if (ready > 0) {
            return port.GetBlock(buffer, ready) == static_cast<int>(ready) ? ready : 0;
        }
        if (!port.WaitForInput(2000) && port.InBuffUsed() == 0) {
            return 0;
        }
    }
}

// PutBlock checks the room itself, from the ring's count, so a send that fits costs no query of
// the driver; one that does not waits until the ring has drained. Parts are at most the ring's
// size (kChunk).
bool DispatcherSend(TKvdBaseDispatcher& port, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const uint32_t part = static_cast<uint32_t>(std::min(count, kChunk));
        const int result = port.PutBlock(bytes, part);
        if (result == ecOutputBufferTooSmall) {
            if (port.outputEmptySignal.Wait(2000) != WAIT_OBJECT_0) {
                return false;
            }
            continue;
        }
        if (result != 0) {
            return false;
        }
        bytes += part;
        count -= part;
    }
    return true;
}

class TDispatcherClient : public TStreamClient {
public:
    explicit TDispatcherClient(const std::string& path) : port_(nullptr) {
        ready_ = port_.InitPort(path.c_str(), 115200, dcbParityNone, 8, 1, 4096, kChunk, false,
                                false) == 0;
    }
    bool Ready() const override { return ready_; }

protected:
    bool Send(const uint8_t* bytes, size_t count) override {
        return DispatcherSend(port_, bytes, count);
    }
    size_t Receive(uint8_t* buffer, size_t count) override {
        return DispatcherReceive(port_, buffer, count);
    }

private:
    TKvdWin32Dispatcher port_;
    bool ready_ = false;
};

// --- The port component: answers are awaited with WaitForString as the update run awaits
// them (yielding); the bulk echo goes through its PutBlock and GetBlock on one thread, which
// sleeps in the dispatcher's WaitForInput.

class TComponentClient : public IClient {
public:
    explicit TComponentClient(const std::string& path) {
        if (RegisterComPort(kBenchPort, path) != 0) {
            return;
        }
        port_.SetComNumber(kBenchPort);
        port_.SetBaud(115200);
        port_.SetOutSize(kComponentChunk * 2);
        try {
            port_.SetOpen(true);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "port component: %s\n", e.what());
        }
    }
    ~TComponentClient() override {
        port_.SetOpen(false);
        UnregisterComPort(kBenchPort);
    }
    bool Ready() const override { return port_.Open(); }

    bool RoundTrip(uint8_t out) override {
        port_.PutChar(static_cast<char>(out));
        return port_.WaitForString(std::string(1, static_cast<char>(out)), kWaitTicks, true, false);
    }
    bool Block(const uint8_t* block) override {
        port_.PutBlock(block, kBlock);
        return port_.WaitForString("K", kWaitTicks, true, false);
    }
    bool Bulk(const std::vector<uint8_t>& pattern, size_t total) override;

private:
    static constexpr uint16_t kComponentChunk = 16384;
    static const int32_t kWaitTicks;

    TKvdComPort port_;
};

const int32_t TComponentClient::kWaitTicks = Secs2Ticks(2);

bool TComponentClient::Bulk(const std::vector<uint8_t>& pattern, size_t total) {
    TKvdBaseDispatcher* dispatcher = port_.Dispatcher();
    std::vector<uint8_t> in(kChunk);
    size_t sent = 0;
    size_t received = 0;
    bool intact = true;
    while (received < total) {
        const size_t at = sent % pattern.size();
        const size_t room = std::min<size_t>(
            {port_.OutBuffFree(), kComponentChunk, total - sent, pattern.size() - at});
        if (room > 0) {
            port_.PutBlock(pattern.data() + at, static_cast<uint16_t>(room));
            sent += room;
        }
        dispatcher->inputWaiter = GetCurrentThreadId();
        const uint16_t ready = port_.InBuffUsed();
        if (ready > 0) {
            port_.GetBlock(in.data(), ready);
            intact = intact && Matches(pattern, received, in.data(), ready);
            received += ready;
        } else if (room == 0 && received == sent) {
            // Every byte is back before the write thread has marked the ring sent: no input
            // will come until there is room for more.
            if (dispatcher->outputEmptySignal.Wait(2000) != WAIT_OBJECT_0) {
                return false;
            }
        } else if (!dispatcher->WaitForInput(2000) && port_.InBuffUsed() == 0) {
            return false;
        }
    }
    return intact;
}

// --- Tallies and the table

struct TTally {
    std::vector<double> roundTripUs;
    double bulkSeconds = 0;
    double blockSeconds = 0;
    int rounds = 0;
    bool ok = true;

    void Add(TPhase phase, const TResult& result) {
        ok = ok && result.ok;
        switch (phase) {
        case TPhase::RoundTrip:
            roundTripUs.insert(roundTripUs.end(), result.roundTripUs,
                               result.roundTripUs + kSamplesPerRound);
            break;
        case TPhase::Bulk:
            bulkSeconds += result.seconds;
            ++rounds;
            break;
        case TPhase::StopAndWait:
            blockSeconds += result.seconds;
            break;
        }
    }
    double Percentile(size_t percent) {
        std::sort(roundTripUs.begin(), roundTripUs.end());
        return roundTripUs[roundTripUs.size() * percent / 100];
    }
    double MiBPerSecond() const {
        return static_cast<double>(kBulkPerRound * rounds) / (1 << 20) / bulkSeconds;
    }
    double BlocksPerSecond() const { return kBlocksPerRound * rounds / blockSeconds; }
};

// The reference measures the machine; the library's sides are set targets against the peers.
enum class TRole { Reference, Library, Peer };

struct TSide {
    std::string name;
    TRole role;
    std::unique_ptr<IClient> (*connect)(const std::string& path);
    TPeerRun peer; // set for sides measured in a child process
    TTally tally;
    std::string skipped;
};

void PrintTable(std::vector<TSide>& sides) {
    TSide& termios = sides.front();
    double bestPeerMedian = 0;
    double bestPeerBlocks = 0;
    for (TSide& side : sides) {
        if (side.role == TRole::Peer && side.skipped.empty()) {
            const double median = side.tally.Percentile(50);
            bestPeerMedian = bestPeerMedian == 0 ? median : std::min(bestPeerMedian, median);
            bestPeerBlocks = std::max(bestPeerBlocks, side.tally.BlocksPerSecond());
        }
    }
    const auto peerTarget = [&](const TSide& side, const char* text, bool met) {
        return side.role == TRole::Library && bestPeerMedian > 0 ? Target(text, met) : TTarget{};
    };
    for (TSide& side : sides) {
        if (!side.skipped.empty()) {
            PrintSkipped("pty: every measurement", side.name, side.skipped);
            continue;
        }
        TTally& t = side.tally;
        const double median = t.Percentile(50);
        PrintRow("pty round trip median (us)", side.name, Fixed(median, 1),
                 Times(median / termios.tally.Percentile(50)),
                 peerTarget(side, "<= best peer", median <= bestPeerMedian));
        PrintRow("pty round trip p99 (us)", side.name, Fixed(t.Percentile(99), 1),
                 Times(t.Percentile(99) / termios.tally.Percentile(99)));
        const double share = t.MiBPerSecond() / termios.tally.MiBPerSecond();
        PrintRow("pty bulk echo 64 MiB (MiB/s)", side.name, Fixed(t.MiBPerSecond(), 1),
                 Times(share),
                 side.role == TRole::Library ? Target(">= 0.90 x", share >= 0.9) : TTarget{});
        PrintRow("pty stop-and-wait (blocks/s)", side.name, Fixed(t.BlocksPerSecond(), 0),
                 Times(t.BlocksPerSecond() / termios.tally.BlocksPerSecond()),
                 peerTarget(side, ">= best peer", t.BlocksPerSecond() >= bestPeerBlocks));
    }
}

const char* PhaseName(TPhase phase) {
    switch (phase) {
    case TPhase::RoundTrip:
        return "round trip";
    case TPhase::Bulk:
        return "bulk echo";
    case TPhase::StopAndWait:
        return "stop-and-wait";
    }
    return "";
}

bool MeasureInProcess(TSide& side, const std::string& path, TPhase phase, TResult& result) {
    std::unique_ptr<IClient> client = side.connect(path);
    return client->Ready() && Measure(*client, phase, result);
}

// One round: every side, every phase. False when a side that ran failed.
bool RunRound(std::vector<TSide>& sides, kivo::testing::TPtyFarEnd& farEnd) {
    for (TSide& side : sides) {
        for (TPhase phase : {TPhase::RoundTrip, TPhase::Bulk, TPhase::StopAndWait}) {
            if (!side.skipped.empty()) {
                break;
            }
            farEnd.AcknowledgeBlocks(phase == TPhase::StopAndWait ? kBlock : 0);
            auto result = std::make_unique<TResult>();
            if (side.peer) {
                side.skipped = side.peer(farEnd.SlavePath(), phase, *result);
            } else if (!MeasureInProcess(side, farEnd.SlavePath(), phase, *result)) {
                result->ok = false;
            }
            if (side.skipped.empty() && !result->ok) {
                std::fprintf(stderr, "%s failed: %s\n", side.name.c_str(), PhaseName(phase));
                return false;
            }
            side.tally.Add(phase, *result);
        }
    }
    return true;
}

template <typename Client>
std::unique_ptr<IClient> Connect(const std::string& path) {
    return std::make_unique<Client>(path);
}

} // namespace
} // namespace bench

// Arguments name the sides to run besides termios (all of them without).
int main(int argc, char** argv) {
    using namespace bench;
    UsePreciseTimers();
    kivo::testing::TPtyFarEnd farEnd;
    if (farEnd.SlavePath().empty()) {
        std::fprintf(stderr, "no pseudo-terminal pair could be opened\n");
        return 1;
    }
    std::fprintf(stderr,
                 "pty: %d rounds, each client in turn; per round %d one-byte round trips after "
                 "%d to warm up, %zu MiB of bulk echo, %d blocks of stop-and-wait\n",
                 kRounds, kSamplesPerRound, kWarmUp, kBulkPerRound >> 20, kBlocksPerRound);
    std::vector<TSide> sides;
    sides.push_back({"termios", TRole::Reference, &Connect<TTermiosClient>, nullptr, {}, {}});
    sides.push_back({"dispatcher", TRole::Library, &Connect<TDispatcherClient>, nullptr, {}, {}});
    sides.push_back(
        {"port component", TRole::Library, &Connect<TComponentClient>, nullptr, {}, {}});
    sides.push_back({"libserialport", TRole::Peer, nullptr, &RunLibserialport, {}, {}});
    sides.push_back({"pyserial", TRole::Peer, nullptr, &RunPyserial, {}, {}});
    if (argc > 1) {
        const std::vector<std::string> wanted(argv + 1, argv + argc);
        sides.erase(std::remove_if(sides.begin() + 1, sides.end(),
                                   [&](const TSide& side) {
                                       return std::find(wanted.begin(), wanted.end(), side.name) ==
                                              wanted.end();
                                   }),
                    sides.end());
    }
    for (int i = 0; i < kRounds; ++i) {
        if (!RunRound(sides, farEnd)) {
            return 1;
        }
    }
    PrintTable(sides);
    return 0;
}
