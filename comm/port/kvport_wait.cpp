// Unit Kvport, waits: WaitForString, WaitForMultiString, CheckForString and PrepareWait.
//
// A wait takes the received characters one per pass and compares them as they come. It holds
// the dispatcher busy meanwhile, so that no notification handler takes the awaited bytes.
// Between passes with nothing to read the main thread sleeps until new input arrives (read in
// by itself, or reported by the dispatch thread through the dispatcher's inputWaiter), a
// message arrives for it, the application starts terminating, or the time-out passes, so a
// long wait costs next to no processor time and a byte is seen as soon as it is in.
#include "comm/port/kvport.h"

#include <utility>
#include <vector>

#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/platform/sync.h"

namespace kivo {

namespace {

// Match positions are 8 bits wide.
constexpr size_t kMaxWaitText = 255;
constexpr size_t kMaxSubTexts = 127;

char Fold(char c, bool ignoreCase) {
    return ignoreCase && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Moves a match position in `s` on by one received character; true when it completes `s`.
// After a mismatch only the character itself is tried as a new start.
bool StepMatch(size_t& pos, char c, const std::string& s, bool ignoreCase) {
    const char expected = Fold(s[pos++], ignoreCase);
    c = Fold(c, ignoreCase);
    if (c == expected) {
        return pos == s.size();
    }
    pos = c == Fold(s[0], ignoreCase) ? 1 : 0;
    return false;
}

// The timer expires once the tick count has moved past Expires.
uint32_t MillisecondsToExpiry(const EventTimer& timer) {
    return static_cast<uint32_t>(RemainingTime(timer)) * kMillisecondsPerTick +
           MillisecondsToNextTick();
}

enum TWaitEnd : uint8_t { weFound, weExpired, weTerminating, wePortLeft };

// One alternative of WaitForMultiString: positions into the combined text.
struct TSubText {
    size_t start = 0;
    size_t end = 0; // its last character
    size_t current = 0;
    char first = 0;
    bool empty = true; // a leading separator or two in a row: never matches
};

TSubText MakeSubText(const std::string& s, size_t begin, size_t stop, bool ignoreCase) {
    TSubText t;
    t.empty = begin >= stop;
    if (!t.empty) {
        t.start = begin;
        t.end = stop - 1;
        t.current = begin;
        t.first = Fold(s[begin], ignoreCase);
    }
    return t;
}

// Splits at the separator. Once 127 alternatives have been started the rest of the text,
// separators included, belongs to the last one; a trailing separator adds an empty one.
std::vector<TSubText> SplitTexts(const std::string& s, char separator, bool ignoreCase) {
    std::vector<TSubText> texts;
    size_t begin = 0;
    for (size_t q = 0; q < s.size() && texts.size() + 1 < kMaxSubTexts; ++q) {
        if (s[q] == separator) {
            texts.push_back(MakeSubText(s, begin, q, ignoreCase));
            begin = q + 1;
        }
    }
    texts.push_back(MakeSubText(s, begin, s.size(), ignoreCase));
    return texts;
}

// The number (from 1) of the first alternative that c completes, else 0; every alternative
// before it advances or falls back.
int32_t AdvanceSubTexts(std::vector<TSubText>& texts, const std::string& s, char c,
                        bool ignoreCase) {
    for (size_t k = 0; k < texts.size(); ++k) {
        TSubText& t = texts[k];
        if (t.empty) {
            continue;
        }
        if (Fold(s[t.current], ignoreCase) == c) {
            if (t.current == t.end) {
                return static_cast<int32_t>(k + 1);
            }
            ++t.current;
        } else {
            t.current = c == t.first ? t.start + 1 : t.start;
        }
    }
    return 0;
}

} // namespace

// Holds the dispatcher busy and registers the waiting thread for the duration of a wait, and
// gives both back as the wait found them on every way out, exceptions included. A close that
// completes during the wait destroys the dispatcher; the scope then touches it no more.
//
// The wait takes over a PrepareWait when it starts: a wait run by a handler while this one
// yields must not end the hold that the preparation made for this one's answer.
class TPortWaitScope {
public:
    TPortWaitScope(TKvdCustomComPort& port, TKvdBaseDispatcher& d)
        : port_(port), d_(d), generation_(port.dispatcherGeneration_),
          previousWaiter_(d.inputWaiter.exchange(GetCurrentThreadId())),
          prepared_(std::exchange(port.waitPrepared_, false)),
          preparedOnBusy_(std::exchange(port.waitSavedBusy_, false)) {
        d_.SetEventBusy(wasBusy_, true);
    }

    ~TPortWaitScope() {
        if (SameDispatcher()) {
            d_.inputWaiter = previousWaiter_;
            d_.EndInputWaits();
            bool ignored;
            if (prepared_ && !preparedOnBusy_) {
                d_.SetEventBusy(ignored, false);
            } else if (!wasBusy_) {
                d_.SetEventBusy(ignored, false);
            }
        }
        port_.waitPrepared_ = false;
        port_.waitSavedBusy_ = false;
    }

    TPortWaitScope(const TPortWaitScope&) = delete;
    TPortWaitScope& operator=(const TPortWaitScope&) = delete;

    // The passes of a wait: one character per pass goes through WaitChar to `take`, which tells
    // whether the awaited text is complete; then the timer and, with yield, the message loop.
    template <typename Take>
    TWaitEnd Run(const EventTimer& timer, bool yield, Take take) {
        for (;;) {
            // Checked before every read: a port closed meanwhile must not be opened again by
            // the read.
            if (!PortStillOpen()) {
                return wePortLeft;
            }
            if (port_.CharReady()) {
                const char c = port_.GetChar();
                port_.WaitChar(c);
                if (take(c)) {
                    return weFound;
                }
            }
            const bool expired = TimerExpired(timer);
            if (yield) {
                ProcessMessages();
            }
            if (expired) {
                return weExpired;
            }
            if (ApplicationTerminating()) {
                return weTerminating;
            }
            SleepUntilInput(timer, yield);
        }
    }

private:
    bool SameDispatcher() const {
        return port_.dispatcher_ == &d_ && port_.dispatcherGeneration_ == generation_;
    }

    bool PortStillOpen() const { return port_.portState_ == psOpen && SameDispatcher(); }

    // inputWaiter is set before CharReady is asked, so a byte that arrives in between wakes the
    // WaitMessage that follows at once. The sleep lasts until the wait's time-out at most: the
    // application's end wakes it too (a wait that cannot see it looks for it at every tick).
    void SleepUntilInput(const EventTimer& timer, bool yield) {
        if (!PortStillOpen() || d_.CharReady()) {
            idleWakes_ = 0;
            return;
        }
        const bool woken = d_.WaitForInput(MillisecondsToExpiry(timer));
        if (!woken || yield || d_.CharReady()) {
            idleWakes_ = 0;
            return;
        }
        // Without yield, queued messages stay queued and would end every WaitMessage at once;
        // a wake-up left over from a byte already taken does that only once. So the second
        // wake-up in a row without input sleeps out the rest of the tick.
        if (++idleWakes_ > 1) {
            Sleep(MillisecondsToNextTick());
        }
    }

    TKvdCustomComPort& port_;
    TKvdBaseDispatcher& d_;
    const uint32_t generation_;
    const ThreadId previousWaiter_;
    const bool prepared_;
    const bool preparedOnBusy_;
    bool wasBusy_ = false;
    int idleWakes_ = 0;
};

int TKvdCustomComPort::CheckWaitText(const std::string& s) {
    return s.size() > kMaxWaitText ? CheckException(this, ecBadArgument) : 0;
}

void TKvdCustomComPort::WaitChar(char c) {
    if (onWaitChar_) {
        onWaitChar_(this, c);
    }
}

// A second PrepareWait before the wait keeps the state the first one saved: saving "busy"
// (set by the first) would leave notifications off for good after the wait.
void TKvdCustomComPort::PrepareWait() {
    if (portState_ == psShuttingDown || waitPrepared_) {
        return;
    }
    if (TKvdBaseDispatcher* d = ValidDispatcher()) {
        waitPrepared_ = true;
        d->SetEventBusy(waitSavedBusy_, true);
    }
}

// The result is the timer read after the loop, so a text completed just as the time runs out
// counts as late.
bool TKvdCustomComPort::WaitForString(const std::string& s, int32_t timeout, bool yield,
                                      bool ignoreCase) {
    if (s.empty() || portState_ == psShuttingDown) {
        return true;
    }
    if (CheckWaitText(s) != 0) {
        return false;
    }
    TKvdBaseDispatcher* d = ValidDispatcher();
    if (d == nullptr) {
        return false;
    }
    TPortWaitScope scope(*this, *d);
    EventTimer timer;
    NewTimer(timer, timeout);
    size_t pos = 0;
    const TWaitEnd end =
        scope.Run(timer, yield, [&](char c) { return StepMatch(pos, c, s, ignoreCase); });
    if (ApplicationTerminating()) {
        return true;
    }
    return end != wePortLeft && !TimerExpired(timer);
}

int32_t TKvdCustomComPort::WaitForMultiString(const std::string& s, int32_t timeout, bool yield,
                                              bool ignoreCase, char separator) {
    if (s.empty() || portState_ == psShuttingDown) {
        return 0;
    }
    if (CheckWaitText(s) != 0) {
        return 0;
    }
    TKvdBaseDispatcher* d = ValidDispatcher();
    if (d == nullptr) {
        return 0;
    }
    TPortWaitScope scope(*this, *d);
    std::vector<TSubText> texts = SplitTexts(s, separator, ignoreCase);
    EventTimer timer;
    NewTimer(timer, timeout);
    int32_t result = 0;
    scope.Run(timer, yield, [&](char c) {
        result = AdvanceSubTexts(texts, s, Fold(c, ignoreCase), ignoreCase);
        return result != 0;
    });
    return result;
}

bool TKvdCustomComPort::CheckForString(uint8_t& index, char c, const std::string& s,
                                       bool ignoreCase) {
    if (portState_ == psShuttingDown) {
        return false;
    }
    if (s.empty() || index >= s.size()) {
        CheckException(this, ecBadArgument);
        return false;
    }
    if (CheckWaitText(s) != 0) {
        return false;
    }
    // The text is at most 255 characters long, so the position fits the index.
    size_t pos = index;
    const bool complete = StepMatch(pos, c, s, ignoreCase);
    index = complete ? 0 : static_cast<uint8_t>(pos);
    return complete;
}

} // namespace kivo
