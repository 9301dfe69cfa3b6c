#include "comm/errors/kvsrmgr.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace kivo {

namespace {

constexpr const char* kZorResourceName = "KVSRMGR_STRINGS";

// Identifiers of the reader's failure texts in its own table.
constexpr int32_t kTextCannotLock = 2;
constexpr int32_t kTextNotFound = 3;
constexpr int32_t kTextCannotLoad = 4;
constexpr int32_t kTextInvalid = 5;

constexpr uint64_t kHeaderSize = 8;
constexpr uint64_t kIndexRecSize = 12;

// One index record as stored in the blob.
struct TIndexRec {
    int32_t Id;
    uint32_t Offset;
    uint32_t Length;
};

uint32_t ReadLE32(std::span<const uint8_t> blob, uint64_t at) {
    return static_cast<uint32_t>(blob[at]) | (static_cast<uint32_t>(blob[at + 1]) << 8) |
           (static_cast<uint32_t>(blob[at + 2]) << 16) |
           (static_cast<uint32_t>(blob[at + 3]) << 24);
}

uint32_t EntryCount(std::span<const uint8_t> blob) {
    return ReadLE32(blob, 4);
}

TIndexRec IndexRecAt(std::span<const uint8_t> blob, uint64_t index) {
    const uint64_t at = kHeaderSize + kIndexRecSize * index;
    return {static_cast<int32_t>(ReadLE32(blob, at)), ReadLE32(blob, at + 4),
            ReadLE32(blob, at + 8)};
}

bool HasSignature(std::span<const uint8_t> blob) {
    return blob.size() >= sizeof ResID && std::memcmp(blob.data(), ResID, sizeof ResID) == 0;
}

// A blob whose index would reach past its end is as unusable as one with a wrong signature.
bool IndexFits(std::span<const uint8_t> blob) {
    return blob.size() >= kHeaderSize &&
           kHeaderSize + kIndexRecSize * EntryCount(blob) <= blob.size();
}

// Binary search over the sorted index; a record whose text lies outside the blob counts as
// missing. Returns the text, empty when the identifier is not there.
std::u16string FindText(std::span<const uint8_t> blob, int32_t ident) {
    int64_t low = 0;
    int64_t high = static_cast<int64_t>(EntryCount(blob)) - 1;
    while (high >= low) {
        const auto middle = static_cast<int64_t>(static_cast<uint64_t>(low + high) >> 1);
        const TIndexRec rec = IndexRecAt(blob, static_cast<uint64_t>(middle));
        if (rec.Id == ident) {
            if (uint64_t{rec.Offset} + 2 * uint64_t{rec.Length} > blob.size()) {
                return {};
            }
            std::u16string text(rec.Length, u'\0');
            for (uint32_t i = 0; i < rec.Length; ++i) {
                const uint64_t at = rec.Offset + 2 * uint64_t{i};
                text[i] = static_cast<char16_t>(blob[at] | (blob[at + 1] << 8));
            }
            return text;
        }
        if (rec.Id < ident) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return {};
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point starting at text[pos]; advances pos. A lone surrogate reads as U+FFFD.
char32_t NextCodePoint(std::u16string_view text, size_t& pos) {
    const char16_t unit = text[pos++];
    if (IsHighSurrogate(unit) && pos < text.size() && IsLowSurrogate(text[pos])) {
        const char16_t low = text[pos++];
        return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
        return 0xFFFD;
    }
    return unit;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The UTF-8 form of as many whole characters as fit in maxBytes.
std::string ToUtf8(std::u16string_view text, size_t maxBytes) {
    std::string out;
    std::string character;
    size_t pos = 0;
    while (pos < text.size()) {
        character.clear();
        AppendUtf8(character, NextCodePoint(text, pos));
        if (out.size() + character.size() > maxBytes) {
            break;
        }
        out += character;
    }
    return out;
}

void EnsureBuiltinTablesRegistered() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        for (const TBuiltinStringTable& table : BuiltinStringTables()) {
            RegisterResource(kMainInstance, table.name, table.bytes);
        }
    });
}

// Set while this thread opens ZorResStrings itself: a failure then takes its text straight
// from the built-in table instead of waiting for the reader that is failing to open.
thread_local bool openingZorStrings = false;

std::string BuiltinZorText(int32_t ident) {
    for (const TBuiltinStringTable& table : BuiltinStringTables()) {
        if (std::string_view(table.name) == kZorResourceName) {
            return ToUtf8(FindText(table.bytes, ident), SIZE_MAX);
        }
    }
    return {};
}

// The failure text with the resource name in place of %s. The text comes from a table that a
// localized module may replace, so it is never used as a printf format.
[[noreturn]] void RaiseResourceError(int32_t ident, const std::string& resourceName) {
    std::string text = openingZorStrings ? BuiltinZorText(ident) : ZorResStrings().GetString(ident);
    const size_t placeholder = text.find("%s");
    if (placeholder != std::string::npos) {
        text.replace(placeholder, 2, resourceName);
    }
    throw EZorStringResourceError(text);
}

} // namespace

TKvStringResource::TKvStringResource(HModule instance, const std::string& resourceName) {
    ChangeResource(instance, resourceName);
}

TKvStringResource::~TKvStringResource() {
    srCloseResource();
}

void TKvStringResource::ChangeResource(HModule instance, const std::string& resourceName) {
    srCloseResource();
    if (!resourceName.empty()) {
        srOpenResource(instance, resourceName);
    }
}

std::string TKvStringResource::GetString(int32_t ident) const {
    return ToUtf8(srFindIdent(ident), SIZE_MAX);
}

char* TKvStringResource::GetAsciiZ(int32_t ident, char* buffer, int bufChars) const {
    if (buffer == nullptr || bufChars < 1) {
        return buffer;
    }
    const std::string text = ToUtf8(srFindIdent(ident), static_cast<size_t>(bufChars) - 1);
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return buffer;
}

char16_t* TKvStringResource::GetWideChar(int32_t ident, char16_t* buffer, int bufChars) const {
    if (buffer == nullptr || bufChars < 1) {
        return buffer;
    }
    const std::u16string text = srFindIdent(ident);
    size_t count = std::min(text.size(), static_cast<size_t>(bufChars) - 1);
    if (count > 0 && count < text.size() && IsHighSurrogate(text[count - 1]) &&
        IsLowSurrogate(text[count])) {
        --count;
    }
    std::copy_n(text.begin(), count, buffer);
    buffer[count] = u'\0';
    return buffer;
}

void TKvStringResource::srOpenResource(HModule instance, const std::string& resourceName) {
    srLoadResource(instance, resourceName);
    const std::span<const uint8_t> view = srLock();
    if (view.empty()) {
        srCloseResource();
        RaiseResourceError(kTextCannotLock, resourceName);
    }
    if (!HasSignature(view) || !IndexFits(view)) {
        srCloseResource();
        RaiseResourceError(kTextInvalid, resourceName);
    }
}

void TKvStringResource::srLoadResource(HModule instance, const std::string& resourceName) {
    EnsureBuiltinTablesRegistered();
    const HModule module = FindRawResource(instance, resourceName);
    if (module == 0) {
        RaiseResourceError(kTextNotFound, resourceName);
    }
    resource_ = LoadRawResource(module, resourceName);
    if (!resource_) {
        RaiseResourceError(kTextCannotLoad, resourceName);
    }
}

// The bytes of the loaded table; empty when there is nothing to lock.
std::span<const uint8_t> TKvStringResource::srLock() const {
    if (!resource_) {
        return {};
    }
    return *resource_;
}

std::u16string TKvStringResource::srFindIdent(int32_t ident) const {
    if (!resource_) {
        return {};
    }
    return FindText(*resource_, ident);
}

void TKvStringResource::srCloseResource() {
    resource_.reset();
}

const TKvStringResource& ZorResStrings() {
    static const TKvStringResource reader = [] {
        openingZorStrings = true;
        struct ResetFlag {
            ~ResetFlag() { openingZorStrings = false; }
        } reset;
        return TKvStringResource(kMainInstance, kZorResourceName);
    }();
    return reader;
}

} // namespace kivo
