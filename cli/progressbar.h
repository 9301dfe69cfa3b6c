// The progress of an update on a terminal: one line that is redrawn in place, with a bar, the
// sectors sent and the rate, fitted to the terminal's width as it is at each redraw. Log lines
// printed meanwhile go above it.
#pragma once

#include "app/mainfrm.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace brinomar {

class TProgressBar {
public:
    using TClock = std::chrono::steady_clock;

    explicit TProgressBar(std::FILE* terminal) : terminal_(terminal) {}
    ~TProgressBar() { Finish(); }
    TProgressBar(const TProgressBar&) = delete;
    TProgressBar& operator=(const TProgressBar&) = delete;

    void Update(const TTransferProgress& progress, TClock::time_point now = TClock::now());
    // Takes the bar off its line, so that a log line can be written there.
    void Erase();
    // Puts the bar back after Erase.
    void Redraw();
    // Leaves the bar as it stands on its own line; the destructor does it too.
    void Finish();

    // "[#####---------------] 123/490 sectors  11520 bytes/s", in fewer than `columns`
    // characters (0: no limit): a line as wide as the terminal or wider would wrap, and the
    // next redraw would then erase only its last part. The bar narrows first, then goes.
    static std::string Render(const TTransferProgress& progress, double bytesPerSecond,
                              int columns = 0);

private:
    std::FILE* terminal_;
    bool shown_ = false;
    bool started_ = false;
    TClock::time_point start_;
    TTransferProgress progress_;
    double bytesPerSecond_ = 0;
};

} // namespace brinomar
