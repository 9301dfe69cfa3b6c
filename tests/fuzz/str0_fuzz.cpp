// Opens arbitrary blobs as STR0 string tables and looks up every identifier their index names,
// and a few it does not: a blob is either refused with the reader's own exception or read
// without touching a byte outside it, and every text comes out as whole characters that fit
// the caller's buffer.
#include "comm/errors/kvsrmgr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr kivo::HModule kFuzzModule = 7;
constexpr const char* kTableName = "FUZZ_TABLE";
constexpr size_t kMaxBlob = 16384;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

uint32_t ReadLE32(std::span<const uint8_t> blob, size_t at) {
    uint32_t value = 0;
    for (size_t n = 4; n-- > 0;) {
        value = value << 8 | (at + n < blob.size() ? blob[at + n] : 0);
    }
    return value;
}

// The identifiers the blob's index claims to hold (as far as the blob reaches), and their
// neighbours, so that the search is also asked for identifiers between and around the records.
std::vector<int32_t> IdentifiersToAsk(std::span<const uint8_t> blob) {
    std::vector<int32_t> idents = {0, -1, INT32_MIN, INT32_MAX};
    const uint32_t count = ReadLE32(blob, 4);
    for (uint64_t n = 0; n < count && 8 + 12 * (n + 1) <= blob.size(); ++n) {
        const auto id = static_cast<int32_t>(ReadLE32(blob, 8 + 12 * n));
        idents.push_back(id);
        if (id != INT32_MAX) {
            idents.push_back(id + 1);
        }
    }
    return idents;
}

// Strict UTF-8: no stray continuation byte, no truncated sequence, no encoded surrogate.
bool IsWholeUtf8(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<uint8_t>(text[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if ((lead >= 0x80 && lead < 0xC0) || lead > 0xF4 || at + length > text.size()) {
            return false;
        }
        for (size_t n = 1; n < length; ++n) {
            if ((static_cast<uint8_t>(text[at + n]) & 0xC0) != 0x80) {
                return false;
            }
        }
        if (length == 3 && lead == 0xED && static_cast<uint8_t>(text[at + 1]) >= 0xA0) {
            return false;
        }
        at += length;
    }
    return true;
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The narrow form cut to a small buffer is a prefix of the whole text, ends on a character
// boundary and is terminated inside the buffer.
void CheckNarrowCuts(const kivo::TKvStringResource& table, int32_t ident,
                     const std::string& whole) {
    for (int bufChars : {1, 2, 3, 4, 5, 64}) {
        std::vector<char> buffer(static_cast<size_t>(bufChars) + 1, '\x7F');
        table.GetAsciiZ(ident, buffer.data(), bufChars);
        const size_t length = std::strlen(buffer.data());
        Require(length < static_cast<size_t>(bufChars));
        Require(buffer[static_cast<size_t>(bufChars)] == '\x7F');
        Require(whole.compare(0, length, buffer.data(), length) == 0);
        Require(IsWholeUtf8(std::string(buffer.data(), length)));
    }
}

// The wide form cut to a small buffer is a prefix of the whole text and never ends on half a
// surrogate pair that the whole text completes.
void CheckWideCuts(const kivo::TKvStringResource& table, int32_t ident) {
    std::vector<char16_t> whole(kMaxBlob / 2 + 1);
    table.GetWideChar(ident, whole.data(), static_cast<int>(whole.size()));
    for (int bufChars : {1, 2, 3, 8}) {
        std::vector<char16_t> buffer(static_cast<size_t>(bufChars) + 1, u'\x7F');
        table.GetWideChar(ident, buffer.data(), bufChars);
        Require(buffer[static_cast<size_t>(bufChars)] == u'\x7F');
        size_t length = 0;
        while (buffer[length] != u'\0') {
            Require(buffer[length] == whole[length]);
            ++length;
        }
        Require(length < static_cast<size_t>(bufChars));
        Require(length == 0 || !IsHighSurrogate(buffer[length - 1]) || whole[length] == u'\0' ||
                whole[length] < 0xDC00 || whole[length] > 0xDFFF);
    }
}

void ReadEveryText(std::span<const uint8_t> blob) {
    kivo::TKvStringResource table(kFuzzModule, kTableName);
    for (const int32_t ident : IdentifiersToAsk(blob)) {
        const std::string whole = table.GetString(ident);
        Require(whole.size() <= blob.size() * 2);
        Require(IsWholeUtf8(whole));
        CheckNarrowCuts(table, ident, whole);
        CheckWideCuts(table, ident);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxBlob) {
        return 0;
    }
    const std::span<const uint8_t> blob(data, size);
    kivo::RegisterResource(kFuzzModule, kTableName, blob);
    try {
        ReadEveryText(blob);
    } catch (const kivo::EZorStringResourceError& error) {
        // A refused table is reported with a text from the reader's own table.
        Require(error.Message().size() > 0);
    }
    kivo::UnregisterResource(kFuzzModule, kTableName);
    return 0;
}
