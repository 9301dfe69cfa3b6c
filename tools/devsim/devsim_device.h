// The simulated device's side of the update protocol: what it does with each byte it takes off
// the line, and what it answers.
#pragma once

#include "tools/devsim/devsim_options.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace brinomar {

using TSimClock = std::chrono::steady_clock;

// Something the device puts on the line (or does to it) once its time has come.
struct TDeviceAnswer {
    TSimClock::time_point ready; // when the device has it ready to send
    std::string bytes;
    bool hangUp = false; // close the line instead of sending
};

class TDeviceModel {
public:
    explicit TDeviceModel(const TDevsimOptions& options) : options_(options) {}

    // A byte the device took off the line at `at`.
    void Receive(uint8_t byte, TSimClock::time_point at);

    // An answer has left: traffic the device sent itself also counts against the quiet gap.
    void NoteSent(TSimClock::time_point at);

    // After more than 0.5 s without traffic in the middle of an update the device waits for a
    // greeting again: `empty` is a moment at which the line was seen holding nothing, so that
    // bytes that come after it are taken the same way. An answer the device still holds back
    // (--late-ack) is its own delay: the host waits for it, so the gap does not count meanwhile.
    void ResyncIfQuiet(TSimClock::time_point empty);

    // A new program opened the line: an update the last one left unfinished is over, and
    // answers not yet sent are forgotten.
    void LineReopened();

    // The end of the quiet gap that started with the last traffic.
    TSimClock::time_point QuietDeadline() const;

    // Greeted (and perhaps receiving the image) / receiving the image.
    bool InUpdate() const { return phase_ != Phase::Greeting; }
    bool InTransfer() const { return phase_ == Phase::Transfer; }

    std::deque<TDeviceAnswer>& Answers() { return answers_; }
    int Greetings() const { return greetings_; }

    // The image bytes of the last update, once it has ended (complete or broken off).
    bool TakeFinishedImage(std::vector<uint8_t>& image);
    // True once after an update ended, or after a greeted host went quiet or away before
    // the image (a silent device's host gives up so).
    bool TakeSessionEnded() { return std::exchange(sessionEnded_, false); }
    // The image bytes received so far, for an exit in the middle of an update.
    const std::vector<uint8_t>& Image() const { return image_; }

private:
    enum class Phase { Greeting, Connected, Transfer };

    void ReceiveGreetingByte(uint8_t byte, TSimClock::time_point at);
    void ReceiveImageByte(uint8_t byte, TSimClock::time_point at);
    void BlockComplete(TSimClock::time_point at);
    // With --noise the answer goes out behind `noise`.
    void Answer(TSimClock::time_point at, std::string bytes, const std::string& noise);
    void BreakOff(const char* why);
    void EndUpdate();

    const TDevsimOptions& options_;
    Phase phase_ = Phase::Greeting;
    bool sawU_ = false;
    int greetings_ = 0;
    int block_ = 0;
    int fill_ = 0;
    uint8_t sum_ = 0;
    std::vector<uint8_t> image_;
    bool imageFinished_ = false;
    bool sessionEnded_ = false;
    TSimClock::time_point lastTraffic_{};
    std::deque<TDeviceAnswer> answers_;
    int unsent_ = 0; // answers given that have not left yet
};

} // namespace brinomar
