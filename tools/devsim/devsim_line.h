// The simulator's line: moves bytes between the pseudo-terminal and the device model, at the
// pace of a real line when asked to.
#pragma once

#include "comm/platform/pty.h"
#include "tools/devsim/devsim_device.h"
#include "tools/devsim/devsim_stats.h"

#include <deque>
#include <string>

namespace brinomar {

// Whether an image could be written to `path` (--save), asked before the device starts so that
// a wrong path shows at once rather than after a whole update. The file is left as it was.
bool CanSaveTo(const std::string& path, std::string& reason);

class TLinePlayer {
public:
    TLinePlayer(const TDevsimOptions& options, kivo::TPtyPair& pty);

    // Serves until the run is over (--once), the line was hung up, or a stop signal came.
    void Run();

    // What the device has seen, for the closing report.
    int Greetings() const { return model_.Greetings(); }
    size_t ImageBytes() const { return model_.Image().size(); }
    // An image asked for with --save could not be written.
    bool SaveFailed() const { return saveFailed_; }

private:
    struct Outgoing {
        TSimClock::time_point ready; // when the device had it ready to send
        TSimClock::time_point due;   // when the last byte has crossed the line
        std::string bytes;
        bool hangUp = false;
    };

    void TakeArrivals(TSimClock::time_point woke);
    std::chrono::nanoseconds WireTime(size_t count) const;
    void ForgetAnswers(TSimClock::time_point looked);
    void ScheduleAnswers();
    bool SendDue(TSimClock::time_point now);
    bool Finished(TSimClock::time_point now);
    TSimClock::time_point NextWake(TSimClock::time_point now) const;
    void NoteTimedWake(TSimClock::time_point asked, TSimClock::time_point woke);
    static int64_t MicrosUntil(TSimClock::time_point wake, TSimClock::time_point now);
    void ReportStats();
    bool SaveFinishedImage();
    void SaveImage(const std::vector<uint8_t>& image);

    const TDevsimOptions& options_;
    kivo::TPtyPair& pty_;
    TDeviceModel model_;
    TReplyStats stats_;
    std::chrono::nanoseconds byteTime_{0};
    std::deque<Outgoing> outbox_;
    TSimClock::time_point rxFree_{};
    TSimClock::time_point txFree_{};
    TSimClock::time_point lineSeenEmpty_{}; // the last look at the line that found nothing
    bool runEnded_ = false;
    bool reportDue_ = false; // an update ended; its figures go once its last answer has left
    bool saveFailed_ = false;
    static constexpr size_t kDelaysKept = 32;
    std::deque<std::chrono::nanoseconds> recentDelays_; // how late the last timed wake-ups came
    std::chrono::nanoseconds wakeEarly_{0};             // how much earlier the next is asked for
    bool earlyWakeSpent_ = false; // the first waiting answer's early wake-up came too soon
};

} // namespace brinomar
