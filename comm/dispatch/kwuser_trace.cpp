// Tracing: the ring of (kind, byte) entries, its text form, and the dispatcher's operations on it.
#include <new>

#include "comm/dispatch/kwuser.h"
#include "comm/dispatch/kwuser_render.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/textfile.h"

namespace kivo {

namespace {

constexpr uint32_t kMaxItemColumns = 78;

bool IsShownAsCharacter(uint8_t byte, TItemStyle style) {
    switch (style) {
    case TItemStyle::AllChars:
        return true;
    case TItemStyle::AllHex:
        return false;
    case TItemStyle::InHex:
        // Spaces in the data are shown as [20] so that they cannot be mistaken for layout.
        return byte >= 33 && byte <= 126;
    case TItemStyle::Decimal:
        break;
    }
    return byte >= 32 && byte <= 126;
}

// The item text of one byte: the character itself, "[XX]" or "[n]".
std::string_view ByteItemText(uint8_t byte, TItemStyle style, char (&text)[8]) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    if (IsShownAsCharacter(byte, style)) {
        text[0] = static_cast<char>(byte);
        return {text, 1};
    }
    size_t length = 0;
    text[length++] = '[';
    if (style == TItemStyle::Decimal) {
        if (byte >= 100) {
            text[length++] = static_cast<char>('0' + byte / 100);
        }
        if (byte >= 10) {
            text[length++] = static_cast<char>('0' + byte / 10 % 10);
        }
        text[length++] = static_cast<char>('0' + byte % 10);
    } else {
        text[length++] = kHexDigits[byte >> 4];
        text[length++] = kHexDigits[byte & 0x0F];
    }
    text[length++] = ']';
    return {text, length};
}

const char* GroupHeader(char kind) {
    switch (kind) {
    case 'R':
        return "Receive: ";
    case 'T':
        return "Transmit: ";
    default:
        return nullptr;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Items and the trace's text form

TItemStyle ItemStyleOf(bool inHex, bool allHex) {
    if (allHex) {
        return TItemStyle::AllHex;
    }
    return inHex ? TItemStyle::InHex : TItemStyle::Decimal;
}

void AppendByteItem(std::string& out, uint8_t byte, TItemStyle style, TItemLine& line) {
    char buffer[8];
    const std::string_view item = ByteItemText(byte, style, buffer);
    const auto width = static_cast<uint32_t>(item.size());
    line.column += width;
    if (line.column > kMaxItemColumns) {
        out += line.lineBreak;
        line.column = line.continueColumn + width;
    }
    out += item;
}

TTraceRenderer::TTraceRenderer(bool inHex, bool allHex)
    : style_(ItemStyleOf(inHex, allHex)), line_{0, 0, kLineEnd} {}

void TTraceRenderer::Entry(char kind, uint8_t data, std::string& out) {
    if (!started_ || kind != kind_) {
        StartGroup(kind, out);
    }
    AppendByteItem(out, data, style_, line_);
}

void TTraceRenderer::StartGroup(char kind, std::string& out) {
    if (started_) {
        out += kLineEnd;
        out += kLineEnd;
    }
    started_ = true;
    kind_ = kind;
    line_.column = 0;
    if (const char* header = GroupHeader(kind)) {
        out += header;
    } else {
        out += "Special-";
        out += kind;
        out += ": ";
    }
    out += kLineEnd;
}

// ---------------------------------------------------------------------------------------------
// The trace ring

int TKvTraceQueue::Init(uint32_t entries) {
    if (buffer_) {
        Clear();
        on_ = true;
        return 0;
    }
    if (entries > MaxEntries) {
        return ecBadArgument;
    }
    if (entries > 0) {
        buffer_.reset(new (std::nothrow) uint8_t[size_t{entries} * 2]());
        if (!buffer_) {
            return ecInsufficientMemory;
        }
    }
    capacity_ = entries;
    Clear();
    on_ = true;
    return 0;
}

void TKvTraceQueue::Clear() {
    pos_ = 0;
    wrapped_ = false;
}

void TKvTraceQueue::Abort() {
    on_ = false;
    buffer_.reset();
    capacity_ = 0;
    Clear();
}

void TKvTraceQueue::Start() {
    if (buffer_) {
        on_ = true;
    }
}

void TKvTraceQueue::Stop() {
    on_ = false;
}

void TKvTraceQueue::Add(char kind, char data) {
    if (!buffer_) {
        return;
    }
    buffer_[size_t{pos_} * 2] = static_cast<uint8_t>(kind);
    buffer_[size_t{pos_} * 2 + 1] = static_cast<uint8_t>(data);
    if (++pos_ == capacity_) {
        pos_ = 0;
        wrapped_ = true;
    }
}

int TKvTraceQueue::Dump(const char* fileName, bool append, bool inHex, bool allHex) {
    on_ = false;
    if (!buffer_ || (!wrapped_ && pos_ == 0)) {
        Abort();
        return 0;
    }
    TTextFile file;
    if (const int error = file.Open(fileName, append); error != 0) {
        Abort();
        return -error;
    }
    // Oldest first: from pos_ to the end when the ring has wrapped, then from the start.
    const uint32_t count = wrapped_ ? capacity_ : pos_;
    const uint32_t first = wrapped_ ? pos_ : 0;
    TTraceRenderer renderer(inHex, allHex);
    std::string text;
    for (uint32_t n = 0; n < count; ++n) {
        const size_t at = (size_t{first} + n) % capacity_ * 2;
        renderer.Entry(static_cast<char>(buffer_[at]), buffer_[at + 1], text);
        file.Write(text);
        text.clear();
    }
    const int error = file.Close();
    Abort();
    return -error;
}

// ---------------------------------------------------------------------------------------------
// The dispatcher's tracing operations

int TKvdBaseDispatcher::InitTracing(uint32_t entries) {
    TCriticalSectionGuard lock(mainLock);
    return trace.Init(entries);
}

int TKvdBaseDispatcher::ClearTracing() {
    TCriticalSectionGuard lock(mainLock);
    trace.Clear();
    return 0;
}

void TKvdBaseDispatcher::AbortTracing() {
    TCriticalSectionGuard lock(mainLock);
    trace.Abort();
}

void TKvdBaseDispatcher::StartTracing() {
    TCriticalSectionGuard lock(mainLock);
    trace.Start();
}

void TKvdBaseDispatcher::StopTracing() {
    TCriticalSectionGuard lock(mainLock);
    trace.Stop();
}

void TKvdBaseDispatcher::AddTraceEntry(char kind, char data) {
    TCriticalSectionGuard lock(mainLock);
    trace.Add(kind, data);
}

int TKvdBaseDispatcher::DumpTrace(const char* fileName, bool inHex, bool allHex) {
    TCriticalSectionGuard lock(mainLock);
    return trace.Dump(fileName, false, inHex, allHex);
}

int TKvdBaseDispatcher::AppendTrace(const char* fileName, bool inHex, bool allHex) {
    TCriticalSectionGuard lock(mainLock);
    return trace.Dump(fileName, true, inHex, allHex);
}

} // namespace kivo
