// How quickly the host goes on after each answer of the simulated device, and how late the
// answers leave: the host's share of an update's time over the wire time, block by block.
#pragma once

#include "tools/devsim/devsim_device.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace brinomar {

class TReplyStats {
public:
    // An answer due at `due` (when its last byte has crossed the line) was written between
    // `started` and `written`.
    void AnswerSent(TSimClock::time_point due, TSimClock::time_point started,
                    TSimClock::time_point written);
    // The simulator woke at `now` to take bytes off the line.
    void BytesArrived(TSimClock::time_point now);
    // One line on the answers since the last report, which it forgets; empty when there were
    // none.
    std::string TakeReport();

private:
    std::vector<std::chrono::nanoseconds> replies_;  // answer written -> next bytes taken
    std::vector<std::chrono::nanoseconds> lateness_; // answer due -> answer written
    std::optional<TSimClock::time_point> lastAnswer_;
};

} // namespace brinomar
