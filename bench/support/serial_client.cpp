#include "bench/support/serial_client.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool MeasureRoundTrip(IClient& client, TResult& result) {
    for (int i = 0; i < kWarmUp + kSamplesPerRound; ++i) {
        const auto start = Clock::now();
        if (!client.RoundTrip(static_cast<uint8_t>(i))) {
            return false;
        }
        if (i >= kWarmUp) {
            result.roundTripUs[i - kWarmUp] =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
    }
    return true;
}

bool MeasureBulk(IClient& client, TResult& result) {
    const std::vector<uint8_t> pattern = BulkPattern();
    const auto start = Clock::now();
    const bool ok = client.Bulk(pattern, kBulkPerRound);
    result.seconds = SecondsSince(start);
    return ok;
}

bool MeasureStopAndWait(IClient& client, TResult& result) {
    const std::vector<uint8_t> pattern = BulkPattern();
    const auto start = Clock::now();
    for (int i = 0; i < kBlocksPerRound; ++i) {
        if (!client.Block(pattern.data() + i % 64 * kBlock)) {
            return false;
        }
    }
    result.seconds = SecondsSince(start);
    return true;
}

} // namespace

std::vector<uint8_t> BulkPattern() {
    std::vector<uint8_t> pattern(kChunk);
    uint32_t state = 1;
    for (uint8_t& byte : pattern) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return pattern;
}

bool Matches(const std::vector<uint8_t>& pattern, size_t at, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != pattern[(at + i) % pattern.size()]) {
            return false;
        }
    }
    return true;
}

bool Measure(IClient& client, TPhase phase, TResult& result) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    switch (phase) {
    case TPhase::RoundTrip:
        result.ok = MeasureRoundTrip(client, result);
        break;
    case TPhase::Bulk:
        result.ok = MeasureBulk(client, result);
        break;
    case TPhase::StopAndWait:
        result.ok = MeasureStopAndWait(client, result);
        break;
    }
    return result.ok;
}

bool TStreamClient::ReceiveExactly(uint8_t* buffer, size_t count) {
    while (count > 0) {
        const size_t got = Receive(buffer, count);
        if (got == 0) {
            return false;
        }
        buffer += got;
        count -= got;
    }
    return true;
}

bool TStreamClient::RoundTrip(uint8_t out) {
    uint8_t in = 0;
    return Send(&out, 1) && ReceiveExactly(&in, 1) && in == out;
}

bool TStreamClient::Block(const uint8_t* block) {
    uint8_t answer = 0;
    return Send(block, kBlock) && ReceiveExactly(&answer, 1) && answer == 'K';
}

bool TStreamClient::Bulk(const std::vector<uint8_t>& pattern, size_t total) {
    bool sent = true;
    std::thread sender([&] {
        for (size_t done = 0; done < total && sent; done += pattern.size()) {
            sent = Send(pattern.data(), std::min(pattern.size(), total - done));
        }
    });
    std::vector<uint8_t> in(kChunk);
    size_t received = 0;
    bool intact = true;
    while (received < total) {
        const size_t got = Receive(in.data(), std::min(in.size(), total - received));
        if (got == 0) {
            break;
        }
        intact = intact && Matches(pattern, received, in.data(), got);
        received += got;
    }
    sender.join();
    return sent && intact && received == total;
}

} // namespace bench
