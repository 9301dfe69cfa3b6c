// Feeds arbitrary byte streams through the receive step and the receive check of an in-memory
// dispatcher watching arbitrary data patterns and a length threshold, the way the dispatch
// thread does (at most a terminal's input buffer a pass, the check repeated while it fires),
// with a reader that takes bytes in arbitrary portions, at times while a wait holds the
// checks off. Checked:
//   - the reader gets the stream back unchanged, whatever the ring positions;
//   - the scan never stands outside the bytes still unread;
//   - a data notification comes only where the stream really ends with the pattern, and the
//     pattern's bytes are still there to read;
//   - every occurrence of a pattern among the bytes offered to the check is told, at its last
//     byte or within it;
//   - an avail notification never announces more bytes than the ring holds, nor fewer than
//     the threshold.
#include "tests/fakes/fake_device.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using kivo::fuzzing::Require;
using kivo::fuzzing::TInput;

using kivo::testing::TFakeDispatcher;

constexpr uint32_t kTerminalBuffer = 4095;
// The ring is never allowed to fill completely: a full ring whose every byte was scanned
// leaves scanPos where an unscanned one would, so the scan position could not be followed.
constexpr uint32_t kRingRoom = kivo::InBufferSize - 1;

uint8_t UpperCase(uint8_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

struct TWatched {
    uint32_t handle;
    std::string pattern;
    bool ignoreCase;
    std::vector<uint64_t> toldAt; // stream positions of the completing bytes
};

class TTriggerRun {
public:
    explicit TTriggerRun(TInput& input) : input_(input) {
        Require(port_.Open() == 0);
        const uint32_t start = static_cast<uint32_t>(input_.Byte()) * 32 % kivo::InBufferSize;
        port_.LoadInput(start, "");
        port_.scanPos = start;
        const uint8_t threshold = input_.Byte();
        threshold_ = threshold & 0x80 ? (threshold & 0x7F) * 64u : threshold % 8u;
        port_.ChangeLengthTrigger(threshold_);
        for (int count = input_.Byte() % 4 + 1; count > 0; --count) {
            AddPattern();
        }
        readAnnounced_ = input_.Byte() & 1;
        port_.RegisterEventTriggerHandler(kivo::TTriggerMethod::Bind<&TTriggerRun::OnNotify>(this));
    }

    void Run() {
        while (!input_.Empty()) {
            const uint8_t header = input_.Byte();
            stream_ += NextChunk(header);
            if (header & 0x80) {
                DeliverWhileWaiting();
            } else {
                Deliver();
            }
            Consume(input_.Byte());
        }
        Consume(0);
        Require(consumed_ == stream_);
        for (const TWatched& watched : watched_) {
            CheckEveryOfferedOccurrenceTold(watched);
        }
    }

private:
    void AddPattern() {
        const uint8_t header = input_.Byte();
        TWatched watched{0, input_.Take(header % 22), (header & 0x80) != 0, {}};
        const int32_t handle =
            port_.AddDataTriggerLen(watched.pattern.data(), watched.ignoreCase,
                                    static_cast<uint32_t>(watched.pattern.size()));
        Require(handle > 0);
        watched.handle = static_cast<uint32_t>(handle);
        watched_.push_back(watched);
    }

    // A run of input bytes, repeated so that short inputs still go round the ring.
    std::string NextChunk(uint8_t header) {
        const size_t length = header % 32 + 1;
        const uint8_t repeats = input_.Byte() % 128 + 1;
        const std::string run = input_.Take(length);
        std::string chunk;
        for (int n = 0; n < repeats && chunk.size() + run.size() <= 6000; ++n) {
            chunk += run;
        }
        return chunk;
    }

    // Hands the device what a terminal buffer holds at most and the ring can still take.
    void FeedDevice() {
        const size_t pending = port_.InputLeft() + port_.InBuffUsed();
        const size_t room = pending < kRingRoom ? kRingRoom - pending : 0;
        const size_t count = std::min({stream_.size() - fed_, size_t{kTerminalBuffer}, room});
        port_.ScriptInput(stream_.substr(fed_, count));
        fed_ += count;
    }

    bool AllDelivered() const { return fed_ == stream_.size() && port_.InputLeft() == 0; }

    // Dispatch passes until the ring can take no more.
    void Deliver() {
        while (!AllDelivered() && port_.InBuffUsed() < kRingRoom) {
            Pass();
        }
    }

    // A wait holds the dispatcher busy: the passes only receive, and the waiting reader takes
    // every byte as it comes, before any check has seen it.
    void DeliverWhileWaiting() {
        while (!AllDelivered()) {
            FeedDevice();
            port_.ExtractData();
            Read(port_.InBuffUsed());
        }
    }

    void Pass() {
        FeedDevice();
        port_.ExtractData();
        bool fired = true;
        while (fired) {
            told_.clear();
            fired = port_.CheckReceiveTriggers();
            TrackScan();
        }
    }

    // Follows scanPos through the stream. It must stand among the unread bytes, so after a
    // reader took bytes unchecked it goes on from the read position. The data notifications of
    // one check belong to the byte just before it, which must still be there to read, and the
    // whole pattern must have been offered to the check.
    void TrackScan() {
        const uint64_t tail = consumed_.size();
        const uint32_t ahead =
            (port_.scanPos + kivo::InBufferSize - port_.inTail) % kivo::InBufferSize;
        Require(ahead <= port_.InBuffUsed());
        Require(tail + ahead >= scanned_);
        scanned_ = tail + ahead;
        for (TWatched* watched : told_) {
            const uint64_t end = scanned_ - 1;
            Require(end >= tail && EndsWithPattern(*watched, end));
            Require(Offered(end + 1 - watched->pattern.size(), end));
            watched->toldAt.push_back(end);
        }
    }

    bool EndsWithPattern(const TWatched& watched, uint64_t end) const {
        const size_t length = watched.pattern.size();
        if (end + 1 < length) {
            return false;
        }
        for (size_t n = 0; n < length; ++n) {
            auto c = static_cast<uint8_t>(stream_[end + 1 - length + n]);
            auto p = static_cast<uint8_t>(watched.pattern[n]);
            if (watched.ignoreCase) {
                c = UpperCase(c);
                p = UpperCase(p);
            }
            if (c != p) {
                return false;
            }
        }
        return true;
    }

    bool Offered(uint64_t start, uint64_t end) const {
        for (const auto& [from, to] : skipped_) {
            if (start < to && end >= from) {
                return false;
            }
        }
        return end < scanned_;
    }

    // An occurrence ending at e is told at e or at an earlier byte inside it; one told earlier
    // clears the partial matches it overlapped.
    void CheckEveryOfferedOccurrenceTold(const TWatched& watched) const {
        const size_t length = watched.pattern.size();
        if (length == 0) {
            Require(watched.toldAt.empty());
            return;
        }
        for (uint64_t end = length - 1; end < stream_.size(); ++end) {
            if (!EndsWithPattern(watched, end) || !Offered(end + 1 - length, end)) {
                continue;
            }
            const auto told =
                std::lower_bound(watched.toldAt.begin(), watched.toldAt.end(), end + 1 - length);
            Require(told != watched.toldAt.end() && *told <= end);
        }
    }

    // The reader takes a portion, then the rest of the stream is received and read.
    void Consume(uint8_t portion) {
        const uint32_t used = port_.InBuffUsed();
        Read(portion == 0 ? used : std::min<uint32_t>(used, portion * 37u));
        while (!AllDelivered()) {
            Pass();
            Read(port_.InBuffUsed());
        }
    }

    void Read(uint32_t count) {
        std::string bytes(count, '\0');
        if (count > 0) {
            Require(port_.GetBlock(bytes.data(), count) == static_cast<int>(count));
        }
        // A handler reads only bytes the running check has passed.
        if (!port_.inDataNotify && scanned_ < consumed_.size() + count) {
            NoteSkipped(std::max<uint64_t>(scanned_, consumed_.size()), consumed_.size() + count);
        }
        consumed_ += bytes;
    }

    void NoteSkipped(uint64_t from, uint64_t to) {
        if (!skipped_.empty() && skipped_.back().second == from) {
            skipped_.back().second = to;
        } else {
            skipped_.emplace_back(from, to);
        }
    }

    void OnNotify(uint32_t message, uint32_t wParam, int32_t) {
        if (message == kivo::msgTriggerAvail) {
            Require(wParam >= threshold_ && wParam <= port_.InBuffUsed());
            if (readAnnounced_) {
                Read(wParam);
            }
            return;
        }
        Require(message == kivo::msgTriggerData);
        const auto watched = std::find_if(watched_.begin(), watched_.end(),
                                          [&](const TWatched& w) { return w.handle == wParam; });
        Require(watched != watched_.end());
        told_.push_back(&*watched);
    }

    TInput& input_;
    TFakeDispatcher port_;
    uint32_t threshold_ = 0;
    bool readAnnounced_ = false;
    std::vector<TWatched> watched_;
    std::vector<TWatched*> told_;
    std::string stream_;
    size_t fed_ = 0;
    std::string consumed_;
    uint64_t scanned_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> skipped_; // read before any check saw them
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TInput input(data, size);
    TTriggerRun run(input);
    run.Run();
    return 0;
}
