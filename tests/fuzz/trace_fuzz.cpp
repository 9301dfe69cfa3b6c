// Drives the trace ring with arbitrary entries, clears, restarts and re-initialisations, and
// dumps it into an in-memory file: the file must hold exactly the entries the ring still
// keeps, oldest first, in lines of at most 78 columns. With every byte shown in hexadecimal
// the text is read back entry by entry; in the other styles printable bytes stand for
// themselves, so only the layout is checked.
#include "comm/dispatch/kwuser.h"
#include "tests/fuzz/fuzz_input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <utility>

namespace {

using kivo::fuzzing::Require;
using kivo::fuzzing::TInput;

using TEntry = std::pair<char, uint8_t>;

constexpr uint32_t kMaxColumns = 78;
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kGroupBreak = "\r\n\r\n";

// The dump target: a file that lives in memory, opened by the trace through its path.
class TMemoryFile {
public:
    TMemoryFile() : fd_(memfd_create("trace", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {
        Require(fd_ >= 0);
    }
    ~TMemoryFile() { close(fd_); }
    TMemoryFile(const TMemoryFile&) = delete;
    TMemoryFile& operator=(const TMemoryFile&) = delete;

    const char* Path() const { return path_.c_str(); }
    void Empty() { Require(ftruncate(fd_, 0) == 0); }
    std::string Contents() const {
        std::string text;
        char buffer[65536];
        for (off_t at = 0;; at += static_cast<off_t>(sizeof buffer)) {
            const ssize_t got = pread(fd_, buffer, sizeof buffer, at);
            Require(got >= 0);
            text.append(buffer, static_cast<size_t>(got));
            if (got < static_cast<ssize_t>(sizeof buffer)) {
                return text;
            }
        }
    }

private:
    int fd_;
    std::string path_;
};

// What the ring should hold: the newest `capacity` entries since the last clear.
class TTraceModel {
public:
    void Init(uint32_t entries) {
        if (!present_) {
            present_ = entries > 0;
            capacity_ = entries;
        }
        entries_.clear();
    }
    void Add(char kind, uint8_t data) {
        if (!present_) {
            return;
        }
        entries_.emplace_back(kind, data);
        if (entries_.size() > capacity_) {
            entries_.pop_front();
        }
    }
    void Clear() { entries_.clear(); }
    void Abort() {
        present_ = false;
        entries_.clear();
    }
    const std::deque<TEntry>& Entries() const { return entries_; }

private:
    bool present_ = false;
    uint32_t capacity_ = 0;
    std::deque<TEntry> entries_;
};

bool ConsumePrefix(std::string_view& text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

char GroupKind(std::string_view& text) {
    if (ConsumePrefix(text, "Receive: ")) {
        return 'R';
    }
    if (ConsumePrefix(text, "Transmit: ")) {
        return 'T';
    }
    Require(ConsumePrefix(text, "Special-") && !text.empty());
    const char kind = text[0];
    text.remove_prefix(1);
    Require(kind != 'R' && kind != 'T' && ConsumePrefix(text, ": "));
    return kind;
}

uint8_t HexItem(std::string_view& text) {
    const auto digit = [](char c) {
        Require((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        return c <= '9' ? c - '0' : c - 'A' + 10;
    };
    Require(text.size() >= 4 && text[0] == '[' && text[3] == ']');
    const auto value = static_cast<uint8_t>(digit(text[1]) << 4 | digit(text[2]));
    text.remove_prefix(4);
    return value;
}

// Reads an all-hexadecimal dump back into its entries.
std::deque<TEntry> ParseAllHex(std::string_view text) {
    std::deque<TEntry> entries;
    bool first = true;
    while (!text.empty()) {
        Require(first || ConsumePrefix(text, kGroupBreak));
        first = false;
        const char kind = GroupKind(text);
        Require(ConsumePrefix(text, kLineEnd));
        do {
            entries.emplace_back(kind, HexItem(text));
        } while (!text.empty() && !text.starts_with(kGroupBreak) &&
                 (ConsumePrefix(text, kLineEnd) || text.starts_with("[")));
    }
    return entries;
}

// Lines never pass the column limit; a group starts with its header line.
void CheckLayout(std::string_view text, size_t groups) {
    if (text.empty()) {
        Require(groups == 0);
        return;
    }
    size_t found = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(kLineEnd, start);
        const std::string_view line = text.substr(start, end - start);
        Require(line.size() <= kMaxColumns);
        if (start == 0 || text.substr(start - 4, 4) == kGroupBreak) {
            Require(line.starts_with("Receive: ") || line.starts_with("Transmit: ") ||
                    line.starts_with("Special-"));
            ++found;
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + kLineEnd.size();
    }
    Require(found == groups);
}

size_t GroupCount(const std::deque<TEntry>& entries) {
    size_t groups = 0;
    for (size_t n = 0; n < entries.size(); ++n) {
        groups += n == 0 || entries[n].first != entries[n - 1].first;
    }
    return groups;
}

// Line breaks inside a kind would make the layout unreadable line by line.
bool KindsKeepLines(const std::deque<TEntry>& entries) {
    for (const TEntry& entry : entries) {
        if (entry.first == '\r' || entry.first == '\n') {
            return false;
        }
    }
    return true;
}

void DumpAndCheck(kivo::TKvTraceQueue& trace, TTraceModel& model, TMemoryFile& file,
                  uint8_t options) {
    const bool append = options & 1;
    const bool inHex = options & 2;
    const bool allHex = options & 4;
    if (!append) {
        file.Empty();
    }
    const std::string before = file.Contents();
    Require(trace.Dump(file.Path(), append, inHex, allHex) == 0);
    Require(!trace.On() && !trace.Present());
    const std::string after = file.Contents();
    Require(after.compare(0, before.size(), before) == 0);
    const std::string_view written = std::string_view(after).substr(before.size());
    if (allHex) {
        Require(ParseAllHex(written) == model.Entries());
    }
    if (KindsKeepLines(model.Entries())) {
        CheckLayout(written, GroupCount(model.Entries()));
    }
    model.Abort();
}

// A run of entries of one kind with consecutive data, so that short inputs still wrap rings.
void AddRun(kivo::TKvTraceQueue& trace, TTraceModel& model, TInput& input) {
    static constexpr char kKinds[] = {'R', 'T', 'R', 'T', 'U', '\n'};
    const uint8_t selector = input.Byte();
    const char kind = selector < 192 ? kKinds[selector % 6] : static_cast<char>(input.Byte());
    uint8_t data = input.Byte();
    for (int count = input.Byte() % 64 + 1; count > 0; --count, ++data) {
        trace.Add(kind, static_cast<char>(data));
        model.Add(kind, data);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TMemoryFile file;
    TInput input(data, size);
    kivo::TKvTraceQueue trace;
    TTraceModel model;
    for (int step = 0; step < 256 && !input.Empty(); ++step) {
        switch (input.Byte() % 8) {
        case 0: {
            const uint32_t entries = input.Byte() % 80 * (input.Byte() % 4 == 0 ? 97 : 1);
            Require(trace.Init(entries) == 0 && trace.On());
            model.Init(entries);
            break;
        }
        case 1:
        case 2:
            AddRun(trace, model, input);
            break;
        case 3:
            trace.Clear();
            model.Clear();
            break;
        case 4:
            trace.Stop();
            trace.Start();
            break;
        case 5:
            trace.Abort();
            model.Abort();
            break;
        default:
            DumpAndCheck(trace, model, file, input.Byte());
            break;
        }
    }
    DumpAndCheck(trace, model, file, input.Byte());
    Require(trace.Init(kivo::TKvTraceQueue::MaxEntries + 1) == -1002);
    return 0;
}
