#include "comm/errors/tablegen/str0_source.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace kivo::tablegen {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kIndexRecSize = 12;

[[noreturn]] void Fail(const std::string& origin, const std::string& problem) {
    throw SourceError(origin + ": " + problem);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int32_t ParseId(std::string_view digits, const std::string& origin) {
    int32_t id = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        Fail(origin, "identifier \"" + std::string(digits) + "\" is not a 32-bit number");
    }
    return id;
}

// Decodes one UTF-8 sequence starting at text[pos]; advances pos.
char32_t DecodeUtf8(std::string_view text, size_t& pos, const std::string& origin) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        Fail(origin, "text is not valid UTF-8");
    }
    if (pos + static_cast<size_t>(extra) >= text.size()) {
        Fail(origin, "text is not valid UTF-8");
    }
    for (int i = 1; i <= extra; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + static_cast<size_t>(i)]);
        if ((next & 0xC0) != 0x80) {
            Fail(origin, "text is not valid UTF-8");
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    constexpr char32_t kMinOfLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinOfLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        Fail(origin, "text is not valid UTF-8");
    }
    pos += static_cast<size_t>(extra) + 1;
    return cp;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

// The quoted text of a line, without its quotes, escapes resolved, as UTF-16.
std::u16string ParseQuotedText(std::string_view quoted, const std::string& origin) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
        Fail(origin, "expected the text in double quotes after the identifier");
    }
    const std::string_view body = quoted.substr(1, quoted.size() - 2);
    std::u16string text;
    size_t pos = 0;
    while (pos < body.size()) {
        const char c = body[pos];
        if (c == '\\') {
            if (pos + 1 >= body.size() || (body[pos + 1] != '"' && body[pos + 1] != '\\')) {
                Fail(origin, "only \\\" and \\\\ may follow a backslash");
            }
            text.push_back(static_cast<char16_t>(body[pos + 1]));
            pos += 2;
        } else if (c == '"') {
            Fail(origin, "a quote inside the text must be written \\\"");
        } else {
            const char32_t cp = DecodeUtf8(body, pos, origin);
            if (cp < 0x20 || cp == 0x7F) {
                Fail(origin, "control character in text");
            }
            AppendUtf16(text, cp);
        }
    }
    return text;
}

TextEntry ParseLine(std::string_view line, const std::string& origin) {
    const size_t idEnd = line.find_first_of(" \t");
    if (idEnd == std::string_view::npos) {
        Fail(origin, "expected an identifier, blanks and a quoted text");
    }
    const int32_t id = ParseId(line.substr(0, idEnd), origin);
    return TextEntry{id, ParseQuotedText(TrimBlanks(line.substr(idEnd)), origin), origin};
}

void PutLE32(std::vector<uint8_t>& blob, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        blob[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void RefuseDuplicates(const std::vector<TextEntry>& sorted) {
    auto same = [](const TextEntry& a, const TextEntry& b) { return a.id == b.id; };
    auto first = std::adjacent_find(sorted.begin(), sorted.end(), same);
    if (first != sorted.end()) {
        Fail(std::next(first)->origin,
             "identifier " + std::to_string(first->id) + " already has a text at " + first->origin);
    }
}

} // namespace

std::vector<TextEntry> ParseSource(std::string_view content, const std::string& fileName) {
    std::vector<TextEntry> entries;
    size_t lineNumber = 0;
    while (!content.empty()) {
        ++lineNumber;
        const size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::string_view trimmed = TrimBlanks(line);
        if (trimmed.empty() || trimmed.front() == '#') {
            continue;
        }
        entries.push_back(ParseLine(trimmed, fileName + ":" + std::to_string(lineNumber)));
    }
    return entries;
}

std::vector<uint8_t> BuildStr0(std::vector<TextEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TextEntry& a, const TextEntry& b) { return a.id < b.id; });
    RefuseDuplicates(entries);

    size_t textBytes = 0;
    for (const TextEntry& entry : entries) {
        textBytes += 2 * entry.text.size();
    }
    const size_t textStart = kHeaderSize + kIndexRecSize * entries.size();
    if (textStart + textBytes > std::numeric_limits<uint32_t>::max()) {
        throw SourceError("string table larger than 4 GiB");
    }
    std::vector<uint8_t> blob(textStart + textBytes);
    std::copy_n("STR0", 4, blob.begin());
    PutLE32(blob, 4, static_cast<uint32_t>(entries.size()));

    size_t offset = textStart;
    for (size_t i = 0; i < entries.size(); ++i) {
        const TextEntry& entry = entries[i];
        const size_t record = kHeaderSize + kIndexRecSize * i;
        PutLE32(blob, record, static_cast<uint32_t>(entry.id));
        PutLE32(blob, record + 4, static_cast<uint32_t>(offset));
        PutLE32(blob, record + 8, static_cast<uint32_t>(entry.text.size()));
        for (char16_t unit : entry.text) {
            blob[offset++] = static_cast<uint8_t>(unit & 0xFF);
            blob[offset++] = static_cast<uint8_t>(unit >> 8);
        }
    }
    return blob;
}

} // namespace kivo::tablegen
