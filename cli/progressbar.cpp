#include "cli/progressbar.h"

#include "comm/platform/terminal.h"

#include <algorithm>
#include <climits>

namespace brinomar {

namespace {

constexpr int kBarWidth = 30;
constexpr int kNarrowestBar = 5;
// Carriage return and "erase to the end of the line".
constexpr const char* kClearLine = "\r\033[K";

} // namespace

std::string TProgressBar::Render(const TTransferProgress& progress, double bytesPerSecond,
                                 int columns) {
    char counts[64];
    std::snprintf(counts, sizeof counts, "%3d/%d sectors  %.0f bytes/s", progress.SectorsSent,
                  SectorCount, bytesPerSecond);
    const std::string text = counts;
    const int room = columns > 0 ? columns - 1 : INT_MAX;
    const int barWidth = std::min(kBarWidth, room - static_cast<int>(text.size()) - 3);
    if (barWidth < kNarrowestBar) {
        return text.substr(0, static_cast<size_t>(std::max(room, 0)));
    }
    const int sent = std::clamp(progress.SectorsSent, 0, SectorCount);
    const int filled = sent * barWidth / SectorCount;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(barWidth - filled), '-') + "] " + text;
}

// The rate counts from the first sector: the greeting before it moves no image bytes.
void TProgressBar::Update(const TTransferProgress& progress, TClock::time_point now) {
    if (!started_) {
        started_ = true;
        start_ = now;
    }
    progress_ = progress;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds > 0) {
        bytesPerSecond_ = (progress.BytesSent - SectorSize) / seconds;
    }
    Redraw();
}

void TProgressBar::Erase() {
    if (shown_) {
        std::fputs(kClearLine, terminal_);
        std::fflush(terminal_);
        shown_ = false;
    }
}

void TProgressBar::Finish() {
    if (shown_) {
        std::fputc('\n', terminal_);
        std::fflush(terminal_);
        shown_ = false;
    }
}

void TProgressBar::Redraw() {
    if (!started_) {
        return;
    }
    const int columns = kivo::TerminalColumns(fileno(terminal_));
    std::fprintf(terminal_, "%s%s", kClearLine,
                 Render(progress_, bytesPerSecond_, columns).c_str());
    std::fflush(terminal_);
    shown_ = true;
}

} // namespace brinomar
