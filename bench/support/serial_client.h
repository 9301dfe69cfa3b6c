// What every client of the serial benchmark does, and how it is measured: the three kinds of
// work, the result of one round of one kind, and the client interface with the plain way to
// do each kind from a send and a receive.
#pragma once

#include "tests/fakes/pty_far_end.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Every client is left alone this long after it connects, before its warm-up. A process that
// has just started threads runs slower for a few hundred milliseconds on some machines, even
// while they sleep (three cost a pty round trip 20 µs on the development machine), so a client
// that starts threads of its own would pay for that in its figures.
inline constexpr int kSettleMs = 500;
inline constexpr int kWarmUp = 300;
inline constexpr int kSamplesPerRound = 3000;
inline constexpr size_t kBulkPerRound = size_t{16} << 20;
inline constexpr size_t kChunk = 65536;
inline constexpr int kBlocksPerRound = 2000;
inline constexpr size_t kBlock = 128;

enum class TPhase : int { RoundTrip, Bulk, StopAndWait };

// What one round of one kind measured; plain data, so that a child process can send it back.
struct TResult {
    bool ok = false;
    double roundTripUs[kSamplesPerRound] = {};
    double seconds = 0; // bulk echo or stop-and-wait
};

class IClient {
public:
    virtual ~IClient() = default;
    virtual bool Ready() const = 0;
    // Sends one byte and waits until it is back.
    virtual bool RoundTrip(uint8_t out) = 0;
    // Sends a block of kBlock bytes and waits for the acknowledgement "K".
    virtual bool Block(const uint8_t* block) = 0;
    // Sends `total` bytes of the repeated pattern while the echo is read back and compared.
    virtual bool Bulk(const std::vector<uint8_t>& pattern, size_t total) = 0;
};

// A client that does all three from a plain send and receive; the bulk is sent from a second
// thread.
class TStreamClient : public IClient {
public:
    bool RoundTrip(uint8_t out) override;
    bool Block(const uint8_t* block) override;
    bool Bulk(const std::vector<uint8_t>& pattern, size_t total) override;

protected:
    // Writes or queues all the bytes.
    virtual bool Send(const uint8_t* bytes, size_t count) = 0;
    // Receives at least one and at most `count` bytes; 0 on failure.
    virtual size_t Receive(uint8_t* buffer, size_t count) = 0;

private:
    bool ReceiveExactly(uint8_t* buffer, size_t count);
};

// The bulk pattern: kChunk pseudo-random bytes, so that a lost or repeated piece shows.
std::vector<uint8_t> BulkPattern();

// Whether `count` received bytes equal the pattern from stream position `at` on.
bool Matches(const std::vector<uint8_t>& pattern, size_t at, const uint8_t* bytes, size_t count);

// One round of one kind of work; result.ok tells whether it went through.
bool Measure(IClient& client, TPhase phase, TResult& result);

using kivo::testing::MakeRaw;
using kivo::testing::WriteAll;

} // namespace bench
