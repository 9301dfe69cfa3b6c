// The simulator's line.
#include "tools/devsim/devsim_line.h"

#include "comm/platform/console.h"
#include "comm/platform/framework.h"
#include "comm/platform/serial.h"
#include "comm/platform/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace brinomar {

namespace {

constexpr int kBitsPerByte = 10; // start bit, eight data bits, stop bit

// A host that greets on without reading fills the line, and the write of the next answer waits
// for room that may never come. While it lives, a stop signal cancels the line's writes (they
// stay cancelled), so that the simulator can end. Without a thread of its own the simulator
// still plays the device; only such a write then outlasts the signal.
class TStopEndsWrites {
public:
    explicit TStopEndsWrites(int32_t line) : done_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        try {
            if (done_ >= 0) {
                watcher_ = std::thread([this, line] { Watch(line); });
            }
        } catch (const std::system_error&) {
        }
    }
    ~TStopEndsWrites() {
        if (watcher_.joinable()) {
            kivo::SignalEvent(done_);
            watcher_.join();
        }
        if (done_ >= 0) {
            close(done_);
        }
    }
    TStopEndsWrites(const TStopEndsWrites&) = delete;
    TStopEndsWrites& operator=(const TStopEndsWrites&) = delete;

private:
    void Watch(int32_t line) const {
        pollfd fds[2] = {{kivo::ApplicationTerminatingFd(), POLLIN, 0}, {done_, POLLIN, 0}};
        while (poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if (fds[0].revents != 0) {
            kivo::SerialCancelWrite(line);
        }
    }

    int done_;
    std::thread watcher_;
};

} // namespace

TLinePlayer::TLinePlayer(const TDevsimOptions& options, kivo::TPtyPair& pty)
    : options_(options), pty_(pty), model_(options) {
    if (options.paceBaud != 0) {
        // Rounded up: the simulated line is never faster than the real one.
        byteTime_ = std::chrono::nanoseconds((1000000000LL * kBitsPerByte + options.paceBaud - 1) /
                                             options.paceBaud);
    }
}

void TLinePlayer::Run() {
    const TStopEndsWrites stopEndsWrites(pty_.Master);
    for (;;) {
        const TSimClock::time_point now = TSimClock::now();
        ScheduleAnswers();
        if (!SendDue(now) || Finished(now)) {
            return;
        }
        const TSimClock::time_point wake = NextWake(now);
        uint32_t events = 0;
        if (kivo::SerialWaitEvent(pty_.Master, events, MicrosUntil(wake, now)) != 0) {
            return;
        }
        const TSimClock::time_point woke = TSimClock::now();
        if (events == 0 && wake != TSimClock::time_point::max()) {
            // The wait found the line empty when it ended: at its time, or earlier when a stop
            // signal cut it short.
            lineSeenEmpty_ = std::max(lineSeenEmpty_, std::min(wake, woke));
            if (wake > now) {
                NoteTimedWake(wake, woke);
            }
        }
        TakeArrivals(woke);
    }
}

// Each byte is taken off the line one byte time after the previous one at the earliest; the
// device acts on it at that moment of line time, and its answers leave no earlier than that.
// Bytes read are counted as arriving when the read returned: the host may have sent them after
// this thread woke, while it waited to run, and a line cannot carry bytes before they are sent.
// Whether the host left a gap before them is judged by when the line was last seen empty, not
// by when they were read: a simulator that runs late (a loaded machine, a stopped process) must
// not take its own delay for a host that gave up.
void TLinePlayer::TakeArrivals(TSimClock::time_point woke) {
    uint8_t buffer[4096];
    for (;;) {
        const TSimClock::time_point looked = TSimClock::now();
        const int got = kivo::SerialRead(pty_.Master, buffer, sizeof buffer);
        // A host's open empties the line's queues; what is read after that is the new host's.
        if (kivo::PtyTakePeerFlush(pty_)) {
            // What the device answered before the reopening is forgotten or kept by the same
            // rule, whether or not it had reached the line's queue yet.
            ScheduleAnswers();
            model_.LineReopened();
            ForgetAnswers(looked);
        }
        if (got <= 0) {
            lineSeenEmpty_ = looked;
            return;
        }
        model_.ResyncIfQuiet(lineSeenEmpty_);
        const TSimClock::time_point read = TSimClock::now();
        stats_.BytesArrived(woke);
        for (int i = 0; i < got; ++i) {
            rxFree_ = std::max(read, rxFree_) + byteTime_;
            model_.Receive(buffer[i], rxFree_);
        }
    }
}

// How long `count` bytes take to cross the line at the paced rate (none when not paced).
std::chrono::nanoseconds TLinePlayer::WireTime(size_t count) const {
    return byteTime_ * static_cast<int64_t>(count);
}

// A new host gets nothing the device still owed the last one; a hang-up still comes. An answer
// that had started to cross the line at `looked` keeps it until its last byte has crossed; the
// answers not yet started never take it, so that a hang-up after them comes at its own time.
void TLinePlayer::ForgetAnswers(TSimClock::time_point looked) {
    TSimClock::time_point lineFree = looked;
    for (const Outgoing& out : outbox_) {
        if (out.due - WireTime(out.bytes.size()) < looked) {
            lineFree = std::max(lineFree, out.due);
        }
    }
    std::erase_if(outbox_, [](const Outgoing& out) { return !out.hangUp; });
    for (Outgoing& out : outbox_) {
        out.due = std::min(out.due, std::max(out.ready, lineFree) + WireTime(out.bytes.size()));
        lineFree = out.due;
    }
    txFree_ = std::min(txFree_, lineFree);
}

// An answer leaves when the device has it ready and the line is free, and has arrived once
// its last byte crossed the line.
void TLinePlayer::ScheduleAnswers() {
    std::deque<TDeviceAnswer>& answers = model_.Answers();
    while (!answers.empty()) {
        TDeviceAnswer& answer = answers.front();
        const TSimClock::time_point start = std::max(answer.ready, txFree_);
        txFree_ = start + WireTime(answer.bytes.size());
        outbox_.push_back({answer.ready, txFree_, std::move(answer.bytes), answer.hangUp});
        answers.pop_front();
    }
}

bool TLinePlayer::SendDue(TSimClock::time_point now) {
    while (!outbox_.empty() && outbox_.front().due <= now) {
        const Outgoing& out = outbox_.front();
        if (out.hangUp) {
            if (options_.verbose) {
                std::fprintf(stderr, "devsim: hanging up\n");
            }
            SaveFinishedImage();
            ReportStats();
            kivo::PtyClose(pty_);
            return false;
        }
        kivo::SerialWrite(pty_.Master, out.bytes.data(), static_cast<int32_t>(out.bytes.size()));
        const TSimClock::time_point sent = TSimClock::now();
        stats_.AnswerSent(out.due, now, sent);
        model_.NoteSent(sent);
        outbox_.pop_front();
        earlyWakeSpent_ = false;
    }
    return true;
}

bool TLinePlayer::Finished(TSimClock::time_point now) {
    model_.ResyncIfQuiet(lineSeenEmpty_);
    if (SaveFinishedImage()) {
        reportDue_ = true;
    }
    runEnded_ = model_.TakeSessionEnded() || runEnded_;
    if (reportDue_ && outbox_.empty()) {
        ReportStats();
    }
    if (kivo::ApplicationTerminating()) {
        if (model_.InTransfer()) {
            SaveImage(model_.Image());
        }
        return true;
    }
    // A device that vanished at once would take its last answer with it: the line stays until
    // it has been quiet for a while.
    return options_.once && runEnded_ && outbox_.empty() && now > model_.QuietDeadline();
}

TSimClock::time_point TLinePlayer::NextWake(TSimClock::time_point now) const {
    if (!outbox_.empty()) {
        const TSimClock::time_point due = outbox_.front().due;
        const TSimClock::time_point early = due - wakeEarly_;
        return earlyWakeSpent_ || early <= now ? due : early;
    }
    if (model_.InUpdate() || (options_.once && runEnded_)) {
        return model_.QuietDeadline() + std::chrono::microseconds(1);
    }
    return TSimClock::time_point::max();
}

// A timed wake-up comes late by the machine's timer latency, which would add to the line time
// of every answer. So the wait for an answer's due time ends early by a low percentile of the
// recent delays: most wake-ups then come just after the due time, and one that comes before it
// waits again for the due time itself. No answer leaves before its time.
void TLinePlayer::NoteTimedWake(TSimClock::time_point asked, TSimClock::time_point woke) {
    recentDelays_.push_back(
        std::max(std::chrono::nanoseconds(woke - asked), std::chrono::nanoseconds(0)));
    if (recentDelays_.size() > kDelaysKept) {
        recentDelays_.pop_front();
    }
    std::vector<std::chrono::nanoseconds> delays(recentDelays_.begin(), recentDelays_.end());
    const auto low = delays.begin() + static_cast<std::ptrdiff_t>(delays.size() / 10);
    std::nth_element(delays.begin(), low, delays.end());
    wakeEarly_ = *low;
    earlyWakeSpent_ = !outbox_.empty() && outbox_.front().due > woke;
}

int64_t TLinePlayer::MicrosUntil(TSimClock::time_point wake, TSimClock::time_point now) {
    if (wake == TSimClock::time_point::max()) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::microseconds>(wake - now).count();
    return std::max<int64_t>(left, 0);
}

// Once the update's last answer has left, so that it counts with the others, or when the device
// hangs up. The figures are taken (and forgotten) after every update, asked for or not.
void TLinePlayer::ReportStats() {
    reportDue_ = false;
    const std::string report = stats_.TakeReport();
    if (options_.stats && !report.empty()) {
        std::printf("%s\n", report.c_str());
        std::fflush(stdout);
    }
}

// True when an update ended (complete or broken off) since the last call.
bool TLinePlayer::SaveFinishedImage() {
    std::vector<uint8_t> image;
    if (!model_.TakeFinishedImage(image)) {
        return false;
    }
    SaveImage(image);
    return true;
}

void TLinePlayer::SaveImage(const std::vector<uint8_t>& image) {
    if (options_.savePath.empty()) {
        return;
    }
    // The close reports what the last buffered write could not put on the disk.
    std::FILE* out = std::fopen(options_.savePath.c_str(), "wb");
    bool saved = out != nullptr && std::fwrite(image.data(), 1, image.size(), out) == image.size();
    int err = errno;
    if (out != nullptr && std::fclose(out) != 0 && saved) {
        saved = false;
        err = errno;
    }
    if (!saved) {
        std::fprintf(stderr, "brinomar-devsim: cannot write %s: %s\n",
                     kivo::PrintableText(options_.savePath).c_str(),
                     std::generic_category().message(err).c_str());
        saveFailed_ = true;
    }
}

bool CanSaveTo(const std::string& path, std::string& reason) {
    std::error_code ignored;
    const bool existed = std::filesystem::symlink_status(path, ignored).type() !=
                         std::filesystem::file_type::not_found;
    std::FILE* probe = std::fopen(path.c_str(), "ab");
    if (probe == nullptr) {
        reason = std::generic_category().message(errno);
        return false;
    }
    std::fclose(probe);
    if (!existed) {
        std::filesystem::remove(path, ignored);
    }
    return true;
}

} // namespace brinomar
