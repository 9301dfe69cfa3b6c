// The text forms of the trace and of the dispatch log. Both files share one item rule for data
// bytes and one line rule: at most 78 columns of items per line, an item never split, CR LF
// line ends. The renderers append to a string and keep no file of their own, so the dumps can
// write the text in pieces and tests can compare it byte for byte.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "comm/dispatch/kwuser.h"

namespace kivo {

inline constexpr std::string_view kLineEnd = "\r\n";

// How data bytes are shown: printable bytes as themselves and the others in decimal or
// hexadecimal; every byte in hexadecimal; every byte as its character (user text in the log).
enum class TItemStyle : uint8_t { Decimal, InHex, AllHex, AllChars };

TItemStyle ItemStyleOf(bool inHex, bool allHex);

// Where the items of a line start and how a full line continues.
struct TItemLine {
    uint32_t column;            // columns used so far, including the line's lead-in
    uint32_t continueColumn;    // the column count a continuation line starts with
    std::string_view lineBreak; // written before an item that would pass the limit
};

// Appends one data byte as an item, ending the line first when the item would not fit.
void AppendByteItem(std::string& out, uint8_t byte, TItemStyle style, TItemLine& line);

// Trace entries in order: a header line whenever the kind changes, an empty line between
// groups, and no line end after the last entry.
class TTraceRenderer {
public:
    TTraceRenderer(bool inHex, bool allHex);
    void Entry(char kind, uint8_t data, std::string& out);

private:
    void StartGroup(char kind, std::string& out);

    TItemStyle style_;
    bool started_ = false;
    char kind_ = 0;
    TItemLine line_;
};

// The five header lines of a dispatch-log file.
void RenderLogHeader(std::string& out);

// One dispatch-log entry as a line (with continuation lines for a long block), ended by CR LF.
void RenderLogEntry(const TDispatchRecord& header, std::span<const uint8_t> block, bool inHex,
                    bool allHex, std::string& out);

} // namespace kivo
