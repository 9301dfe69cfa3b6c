// The simulated device's side of the update protocol.
#include "tools/devsim/devsim_device.h"

#include <algorithm>
#include <cstdio>

namespace brinomar {

namespace {

constexpr int kFirstBlock = 4;
constexpr int kLastBlock = 493;
constexpr int kBlockSize = 128;
constexpr auto kResyncGap = std::chrono::milliseconds(500);

// Bytes that cannot be taken for any answer: no letter of "OK", and not a likely checksum of
// a blank image.
const std::string kNoise("\x00\x3f\xa5", 3);

} // namespace

void TDeviceModel::Receive(uint8_t byte, TSimClock::time_point at) {
    lastTraffic_ = at;
    if (phase_ == Phase::Transfer) {
        ReceiveImageByte(byte, at);
    } else {
        ReceiveGreetingByte(byte, at);
    }
}

void TDeviceModel::ReceiveGreetingByte(uint8_t byte, TSimClock::time_point at) {
    if (sawU_ && byte == 'S') {
        sawU_ = false;
        phase_ = Phase::Connected;
        const std::string ok = options_.lowerCase ? "ok" : "OK";
        Answer(at, options_.surplusOk ? ok + ok : ok, kNoise);
        ++greetings_;
        if (options_.verbose) {
            std::fprintf(stderr, "devsim: greeting %d%s\n", greetings_,
                         options_.silent ? "" : " answered");
        }
        return;
    }
    sawU_ = byte == 'U';
    if (phase_ == Phase::Connected && byte == 'O') {
        phase_ = Phase::Transfer;
        image_.clear();
        imageFinished_ = false;
        block_ = kFirstBlock;
        fill_ = 0;
        sum_ = 0;
    }
}

void TDeviceModel::ReceiveImageByte(uint8_t byte, TSimClock::time_point at) {
    image_.push_back(byte);
    sum_ = static_cast<uint8_t>(sum_ + byte);
    if (++fill_ == kBlockSize) {
        fill_ = 0;
        BlockComplete(at);
        ++block_;
    }
}

void TDeviceModel::BlockComplete(TSimClock::time_point at) {
    if (options_.verbose) {
        std::fprintf(stderr, "devsim: block %03d received\n", block_);
    }
    if (block_ == options_.hangUpAfter) {
        answers_.push_back({at, {}, true});
        EndUpdate();
        return;
    }
    if (block_ == kLastBlock) {
        const uint8_t sum = options_.wrongChecksum ? static_cast<uint8_t>(sum_ + 1) : sum_;
        if (options_.verbose) {
            std::fprintf(stderr, "devsim: checksum %02X sent\n", sum);
        }
        // The host takes the first byte equal to the sum for the checksum: noise holding it
        // would answer --wrong-checksum right.
        std::string noise = kNoise;
        std::erase(noise, static_cast<char>(sum_));
        Answer(at, std::string(1, static_cast<char>(sum)), noise);
        EndUpdate();
        return;
    }
    if (block_ == options_.noAckAfter) {
        return;
    }
    const bool late = options_.lateAckBlock == 0 || options_.lateAckBlock == block_;
    Answer(late ? at + std::chrono::milliseconds(options_.lateAckMs) : at,
           options_.lowerCase ? "k" : "K", kNoise);
}

void TDeviceModel::Answer(TSimClock::time_point at, std::string bytes, const std::string& noise) {
    if (!options_.silent) {
        answers_.push_back({at, options_.noise ? noise + bytes : bytes, false});
        ++unsent_;
    }
}

void TDeviceModel::NoteSent(TSimClock::time_point at) {
    lastTraffic_ = at;
    unsent_ = std::max(unsent_ - 1, 0);
}

void TDeviceModel::EndUpdate() {
    phase_ = Phase::Greeting;
    sawU_ = false;
    imageFinished_ = true;
    sessionEnded_ = true;
}

TSimClock::time_point TDeviceModel::QuietDeadline() const {
    return lastTraffic_ + kResyncGap;
}

void TDeviceModel::ResyncIfQuiet(TSimClock::time_point empty) {
    if (InUpdate() && unsent_ == 0 && empty > QuietDeadline()) {
        BreakOff("line quiet");
    }
}

void TDeviceModel::LineReopened() {
    answers_.clear();
    unsent_ = 0;
    if (InUpdate()) {
        BreakOff("line opened again");
    }
}

void TDeviceModel::BreakOff(const char* why) {
    if (options_.verbose) {
        std::fprintf(stderr, "devsim: %s, waiting for a greeting\n", why);
    }
    const bool transferring = InTransfer();
    EndUpdate();
    imageFinished_ = transferring;
}

bool TDeviceModel::TakeFinishedImage(std::vector<uint8_t>& image) {
    if (!imageFinished_) {
        return false;
    }
    imageFinished_ = false;
    image = image_;
    return true;
}

} // namespace brinomar
