// The dispatch log: the ring of typed, time-stamped entries, its column-formatted text form,
// and the dispatcher's operations on it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>

#include "comm/dispatch/kwuser.h"
#include "comm/dispatch/kwuser_render.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/oserror.h"
#include "comm/platform/textfile.h"

namespace kivo {

namespace {

// Texts of the error table that the log file shows.
constexpr int kTypeTexts = 15001;    // + type
constexpr int kSubTypeTexts = 15100; // + sub-type, from 1
constexpr int kColumnHeadings = 15501;
constexpr int kColumnRule = 15502;
constexpr int kModemBitNames = 15601;     // + bit, each name with a trailing blank
constexpr int kTelnetOptionNames = 15700; // + option
constexpr uint32_t kLastTelnetOption = 42;

// Block items start after the 44 columns of the fixed part and the column counter counts the
// first item's column as 45; continuation lines are indented to the same place.
constexpr uint32_t kFirstItemColumn = 45;
constexpr std::string_view kContinuation = "\r\n"
                                           "                                            ";
static_assert(kContinuation.size() == 2 + kFirstItemColumn - 1);

constexpr const char* kStatusKindNames[] = {"(Not active)",         "(Modem status)",
                                            "(Line status)",        "(Output buffer free)",
                                            "(Output buffer used)", "(Output sent)"};

std::string TableText(int ident) {
    return KivoErrorStrings().GetString(ident);
}

// The table numbers types and sub-types in neighbouring ranges, so a value outside its own
// range must not be looked up: type 200 would read as a sub-type's name.
std::string TypeText(uint8_t type) {
    return type <= dtUser ? TableText(kTypeTexts + type) : std::string();
}

std::string SubTypeText(uint8_t subType) {
    return subType == dstNone || subType > dstCollecting ? std::string()
                                                         : TableText(kSubTypeTexts + subType);
}

// Seconds with three decimals and at least four integer digits: 0001.234.
std::string TimeText(uint32_t milliseconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u.%03u", milliseconds / 1000, milliseconds % 1000);
    return text;
}

void AppendFixedPart(const TDispatchRecord& header, std::string& out) {
    const std::string time = TimeText(header.time);
    const std::string type = TypeText(header.type);
    const std::string subType = SubTypeText(header.subType);
    const char* const format = "%8s  %-8s  %-12s  %08X  ";
    const int length =
        std::snprintf(nullptr, 0, format, time.c_str(), type.c_str(), subType.c_str(), header.data);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length));
    std::snprintf(out.data() + at, static_cast<size_t>(length) + 1, format, time.c_str(),
                  type.c_str(), subType.c_str(), header.data);
}

std::string TelnetOptionItem(uint32_t option) {
    return "[" + (option <= kLastTelnetOption ? TableText(kTelnetOptionNames + option) : "") + "]";
}

std::string ModemBitsItem(uint32_t modemStatus) {
    std::string names;
    for (int bit = 0; bit < 8; ++bit) {
        if ((modemStatus >> bit) & 1) {
            names += TableText(kModemBitNames + bit);
        }
    }
    if (!names.empty() && names.back() == ' ') {
        names.pop_back();
    }
    return "(" + names + ")";
}

bool IsStatusTriggerChange(const TDispatchRecord& header) {
    return (header.type == dtTriggerAlloc || header.type == dtTriggerDispose) &&
           header.subType == dstStatusTrigger;
}

void AppendBlockItems(const TDispatchRecord& header, std::span<const uint8_t> block, bool inHex,
                      bool allHex, std::string& out) {
    // User entries carry text, which stays readable even when every other block is in hex.
    const TItemStyle style =
        allHex && header.type == dtUser ? TItemStyle::AllChars : ItemStyleOf(inHex, allHex);
    TItemLine line{kFirstItemColumn, kFirstItemColumn, kContinuation};
    for (const uint8_t byte : block) {
        AppendByteItem(out, byte, style, line);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The log's text form

void RenderLogHeader(std::string& out) {
    for (const std::string& text :
         {std::string("KIVO v3.01"), "Compiler : " + CompilerDescription(),
          "Operating System : " + OsDescription(), TableText(kColumnHeadings),
          TableText(kColumnRule)}) {
        out += text;
        out += kLineEnd;
    }
}

void RenderLogEntry(const TDispatchRecord& header, std::span<const uint8_t> block, bool inHex,
                    bool allHex, std::string& out) {
    AppendFixedPart(header, out);
    if (block.empty()) {
        // An entry without a block ends after its fixed part; only Telnet entries name their
        // option there.
        if (header.type == dtTelnet) {
            out += TelnetOptionItem(header.data);
        }
        out += kLineEnd;
        return;
    }
    if (IsStatusTriggerChange(header)) {
        if (block[0] < std::size(kStatusKindNames)) {
            out += kStatusKindNames[block[0]];
        }
    } else {
        AppendBlockItems(header, block, inHex, allHex, out);
    }
    if (header.subType == dstModemStatus) {
        out += ModemBitsItem(header.data);
    }
    out += kLineEnd;
}

// ---------------------------------------------------------------------------------------------
// The log ring

void TKvDispatchLog::Init(uint32_t size, uint32_t scratchSize) {
    if (buffer_) {
        Clear();
        return;
    }
    if (size > 0) {
        // Without the memory logging stays off, as it was.
        buffer_.reset(new (std::nothrow) uint8_t[size]);
        if (!buffer_) {
            return;
        }
        // bad_alloc, or length_error where a vector cannot hold the size at all (more than
        // 2 GiB on a 32-bit system).
        try {
            scratch_.assign(scratchSize, 0);
        } catch (const std::exception&) {
            buffer_.reset();
            return;
        }
    }
    size_ = size;
    Clear();
    on_ = true;
}

void TKvDispatchLog::Clear() {
    write_ = 0;
    read_ = 0;
    free_ = size_;
}

void TKvDispatchLog::Abort() {
    on_ = false;
    buffer_.reset();
    scratch_ = {};
    size_ = 0;
    Clear();
}

void TKvDispatchLog::Start() {
    if (buffer_) {
        on_ = true;
    }
}

void TKvDispatchLog::Stop() {
    on_ = false;
}

bool TKvDispatchLog::Fits(uint32_t blockLength) const {
    return sizeof(TDispatchRecord) + uint64_t{blockLength} <= size_ &&
           blockLength <= scratch_.size();
}

void TKvDispatchLog::Add(TDispatchType type, TDispatchSubType subType, uint32_t time, uint32_t data,
                         const void* block, uint32_t blockLength) {
    if ((block == nullptr && blockLength != 0) || !Fits(blockLength)) {
        return;
    }
    const TDispatchRecord header{type, subType, {0, 0}, time, data, blockLength};
    if (Push(&header, sizeof header) && blockLength != 0) {
        Push(block, blockLength);
    }
}

bool TKvDispatchLog::Push(const void* bytes, uint32_t length) {
    if (!buffer_ || length >= size_ || (bytes == nullptr && length != 0)) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    // Make room by discarding the oldest entries.
    TDispatchRecord discarded;
    uint32_t discardedLength = 0;
    while (free_ < length && !PopLast(discarded, nullptr, 0, discardedLength)) {
    }
    CopyIn(static_cast<const uint8_t*>(bytes), length);
    return true;
}

bool TKvDispatchLog::PopLast(TDispatchRecord& header, uint8_t* block, uint32_t blockCapacity,
                             uint32_t& blockLength) {
    blockLength = 0;
    if (!buffer_ || free_ == size_) {
        return true;
    }
    // Raw pushes can leave bytes that are not whole entries; such a ring cannot be read on.
    if (size_ - free_ < sizeof header) {
        Clear();
        return true;
    }
    CopyOut(reinterpret_cast<uint8_t*>(&header), sizeof header);
    const uint32_t stored = header.blockLength;
    if (stored > size_ - free_) {
        Clear();
        return true;
    }
    const uint32_t copied = block == nullptr ? 0 : std::min(stored, blockCapacity);
    CopyOut(block, copied);
    CopyOut(nullptr, stored - copied);
    blockLength = copied;
    return false;
}

void TKvDispatchLog::CopyIn(const uint8_t* from, uint32_t length) {
    const uint32_t first = std::min(length, size_ - write_);
    std::memcpy(buffer_.get() + write_, from, first);
    std::memcpy(buffer_.get(), from + first, length - first);
    write_ = static_cast<uint32_t>((uint64_t{write_} + length) % size_);
    free_ -= length;
}

void TKvDispatchLog::CopyOut(uint8_t* to, uint32_t length) {
    if (to != nullptr) {
        const uint32_t first = std::min(length, size_ - read_);
        std::memcpy(to, buffer_.get() + read_, first);
        std::memcpy(to + first, buffer_.get(), length - first);
    }
    read_ = static_cast<uint32_t>((uint64_t{read_} + length) % size_);
    free_ += length;
}

int TKvDispatchLog::Dump(const char* fileName, bool append, bool inHex, bool allHex) {
    if (!buffer_ || free_ == size_) {
        Abort();
        return 0;
    }
    on_ = false;
    TTextFile file;
    // The entries stay in the ring when the file cannot be opened, so a dump to another file
    // can still save them.
    if (const int error = file.Open(fileName, append); error != 0) {
        return -error;
    }
    std::string text;
    RenderLogHeader(text);
    TDispatchRecord header;
    uint32_t blockLength = 0;
    const auto scratchSize = static_cast<uint32_t>(scratch_.size());
    while (!PopLast(header, scratch_.data(), scratchSize, blockLength)) {
        RenderLogEntry(header, {scratch_.data(), blockLength}, inHex, allHex, text);
        file.Write(text);
        text.clear();
    }
    const int error = file.Close();
    Abort();
    return -error;
}

// ---------------------------------------------------------------------------------------------
// The dispatcher's logging operations

void TKvdBaseDispatcher::InitDispatchLogging(uint32_t size) {
    TCriticalSectionGuard lock(mainLock);
    // Blocks are taken out through the scratch buffer, so it must hold the largest block the
    // dispatcher itself logs: a whole input ring or a whole output ring.
    dlog.Init(size, std::max({InBufferSize, inQueueSize, outBufferSize}));
    // A ring that is still there (paused, or kept by a dump that could not write its file) is
    // only emptied by Init; logging starts on it as on a new one.
    dlog.Start();
}

void TKvdBaseDispatcher::ClearDispatchLogging() {
    TCriticalSectionGuard lock(mainLock);
    dlog.Clear();
}

void TKvdBaseDispatcher::AbortDispatchLogging() {
    TCriticalSectionGuard lock(mainLock);
    dlog.Abort();
}

void TKvdBaseDispatcher::StartDispatchLogging() {
    TCriticalSectionGuard lock(mainLock);
    dlog.Start();
}

void TKvdBaseDispatcher::StopDispatchLogging() {
    TCriticalSectionGuard lock(mainLock);
    dlog.Stop();
}

void TKvdBaseDispatcher::AddDispatchEntry(TDispatchType type, TDispatchSubType subType,
                                          uint32_t data, const void* block, uint32_t blockLength) {
    TCriticalSectionGuard lock(mainLock);
    dlog.Add(type, subType, GetDispatchTime(), data, block, blockLength);
}

void TKvdBaseDispatcher::LogDispatchEntry(TDispatchType type, TDispatchSubType subType,
                                          uint32_t data, const void* block, uint32_t blockLength) {
    // A port that is not logged takes no lock here.
    if (!dlog.On()) {
        return;
    }
    TCriticalSectionGuard lock(mainLock);
    if (dlog.On()) {
        AddDispatchEntry(type, subType, data, block, blockLength);
    }
}

uint32_t TKvdBaseDispatcher::GetDispatchTime() {
    TCriticalSectionGuard lock(mainLock);
    return KvTimeGetTime() - logTimeBase;
}

int TKvdBaseDispatcher::DumpDispatchLog(const char* fileName, bool inHex, bool allHex) {
    TCriticalSectionGuard lock(mainLock);
    return dlog.Dump(fileName, false, inHex, allHex);
}

int TKvdBaseDispatcher::AppendDispatchLog(const char* fileName, bool inHex, bool allHex) {
    TCriticalSectionGuard lock(mainLock);
    return dlog.Dump(fileName, true, inHex, allHex);
}

} // namespace kivo
