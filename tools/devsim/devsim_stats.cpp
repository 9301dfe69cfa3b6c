// How quickly the host goes on after each answer, and how late the answers leave.
#include "tools/devsim/devsim_stats.h"

#include <algorithm>
#include <cstdio>

namespace brinomar {

namespace {

// The value below which `share` of the samples lie, in microseconds.
double PercentileUs(std::vector<std::chrono::nanoseconds> samples, double share) {
    const auto at = samples.begin() +
                    static_cast<std::ptrdiff_t>(share * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), at, samples.end());
    return std::chrono::duration<double, std::micro>(*at).count();
}

} // namespace

void TReplyStats::AnswerSent(TSimClock::time_point due, TSimClock::time_point started,
                             TSimClock::time_point written) {
    lateness_.push_back(
        std::max(std::chrono::nanoseconds(started - due), std::chrono::nanoseconds(0)));
    lastAnswer_ = written;
}

void TReplyStats::BytesArrived(TSimClock::time_point now) {
    if (lastAnswer_) {
        replies_.push_back(std::chrono::nanoseconds(now - *lastAnswer_));
        lastAnswer_.reset();
    }
}

std::string TReplyStats::TakeReport() {
    std::string report;
    if (!replies_.empty() && !lateness_.empty()) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "stats: %zu answers; the host's next bytes came a median %.0f us after an "
                      "answer (p90 %.0f us); answers left a median %.0f us after their line "
                      "time (p90 %.0f us)",
                      lateness_.size(), PercentileUs(replies_, 0.5), PercentileUs(replies_, 0.9),
                      PercentileUs(lateness_, 0.5), PercentileUs(lateness_, 0.9));
        report = line;
    }
    replies_.clear();
    lateness_.clear();
    lastAnswer_.reset();
    return report;
}

} // namespace brinomar
