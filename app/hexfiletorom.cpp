#include "app/hexfiletorom.h"

#include "comm/platform/console.h"
#include "comm/platform/framework.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>

namespace brinomar {

namespace {

constexpr int kDataStart = 10; // character position of the first data byte, counted from 1

// The characters from position `first` (counted from 1) on, at most `length` of them: a field
// that starts past the end of the line is empty, one that runs past the end is cut there.
std::string_view Field(std::string_view line, size_t first, size_t length) {
    if (first > line.size()) {
        return {};
    }
    return line.substr(first - 1, length);
}

std::string_view DataField(std::string_view line, int index) {
    return Field(line, kDataStart + 2 * static_cast<size_t>(index), 2);
}

int UpperHexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Lines end at CR LF, LF or CR; a break at the very end of the text opens no further line.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

// The name is the user's, and a file name may hold any bytes but '/' and NUL: it is shown with
// its control characters and stray bytes escaped, wherever the message goes.
[[noreturn]] void RaiseFileError(const char* action, const std::string& name, int err) {
    throw kivo::EInOutError("Cannot " + std::string(action) + " file \"" +
                                kivo::PrintableText(name) +
                                "\": " + std::system_category().message(err),
                            err);
}

std::string ReadWholeFile(const std::string& name) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    errno = 0;
    std::unique_ptr<std::FILE, Closer> file(std::fopen(name.c_str(), "rb"));
    if (!file) {
        RaiseFileError("open", name, errno != 0 ? errno : ENOENT);
    }
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (got > TRomImage::MaxFileSize - text.size()) {
            RaiseFileError("read", name, EFBIG);
        }
        text.append(chunk, got);
    }
    if (std::ferror(file.get())) {
        RaiseFileError("read", name, errno != 0 ? errno : EIO);
    }
    return text;
}

std::string Hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value) & 0xFFFFu);
    return text;
}

// Position of the last character of a record's data, counted from 1.
size_t DataEnd(int count) {
    return kDataStart - 1 + 2 * static_cast<size_t>(count);
}

std::optional<std::string> ShortLineProblem(std::string_view line, int count) {
    if (line.size() >= DataEnd(count)) {
        return std::nullopt;
    }
    const size_t held = line.size() < kDataStart ? 0 : (line.size() - kDataStart + 1) / 2;
    return "line holds " + std::to_string(held) + " of its " + std::to_string(count) +
           " data bytes; the missing ones stored as 00";
}

// Extended segment (02) and extended linear (04) records move all later data by their base;
// only a zero base leaves it where the loader puts it. The base is quoted as the file has it,
// which need not be hexadecimal, nor printable.
std::optional<std::string> ExtendedAddressProblem(std::string_view line, int count) {
    const std::string_view type = Field(line, 8, 2);
    if ((type != "02" && type != "04") || count == 0) {
        return std::nullopt;
    }
    const std::string_view base = Field(line, kDataStart, 2 * static_cast<size_t>(count));
    if (TRomImage::HexFieldToInt(base) == 0) {
        return std::nullopt;
    }
    return "extended address record (type " + std::string(type) + ") with base " +
           kivo::PrintableText(base) + "; the data after it lands at the wrong positions";
}

// A record's bytes, its checksum included, add up to 0 modulo 256.
std::optional<std::string> ChecksumProblem(std::string_view line, int address, int count) {
    const std::string_view checksum = Field(line, DataEnd(count) + 1, 2);
    if (checksum.size() < 2) {
        return "record checksum missing";
    }
    const std::string_view type = Field(line, 8, 2);
    int sum = count + (address >> 8) + (address & 0xFF);
    bool readable = type.size() == 2;
    for (const std::string_view field : {type, checksum}) {
        const int value = TRomImage::HexFieldToInt(field);
        readable = readable && value >= 0;
        sum += value;
    }
    for (int j = 0; j < count && readable; ++j) {
        const int value = TRomImage::HexFieldToInt(DataField(line, j));
        readable = value >= 0;
        sum += value;
    }
    if (readable && (sum & 0xFF) == 0) {
        return std::nullopt;
    }
    return "record checksum " + kivo::PrintableText(checksum) + " does not match";
}

} // namespace

std::string FormatDiagnostic(const THexDiagnostic& diagnostic) {
    return std::to_string(diagnostic.Line) + (diagnostic.IsError() ? ": error: " : ": warning: ") +
           diagnostic.Text;
}

TRomImage::TRomImage() : data_(BufferSize, 0xFF), accepted_(data_) {}

void TRomImage::LoadFile(const std::string& name) {
    fileName_ = name;
    // A refused file's bytes go with its diagnostics, also when this file cannot be read.
    diagnostics_.clear();
    data_ = accepted_;
    LoadFromText(ReadWholeFile(name));
}

void TRomImage::LoadFromText(std::string_view text) {
    diagnostics_.clear();
    data_ = accepted_;
    const std::vector<std::string_view> lines = SplitLines(text);
    // The last line is never read: in a well-formed file it is the end-of-file record.
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        LoadLine(lines[i], static_cast<int>(i) + 1);
    }
    CheckEnd(lines);
    if (!HasErrors()) {
        accepted_ = data_;
    }
}

// A file cut short (a download or copy that broke off) passes every check of its lines: the
// records it lost are simply missing, and the last one it kept, a data record or a part of one,
// is the line that is never read. Only the missing end-of-file record tells. Blank lines after
// it, and the end-of-file byte (Ctrl-Z) that DOS tools write on a line of its own, hold nothing.
void TRomImage::CheckEnd(const std::vector<std::string_view>& lines) {
    size_t last = lines.size();
    while (last > 0 && (lines[last - 1].empty() || lines[last - 1] == "\x1A")) {
        --last;
    }
    if (last == 0) {
        Report(THexProblem::hpNoEndRecord, 1, "the file holds no records");
    } else if (lines[last - 1][0] != ':' || Field(lines[last - 1], 8, 2) != "01") {
        Report(THexProblem::hpNoEndRecord, static_cast<int>(last),
               "the last record is not an end-of-file record (type 01); the file may be cut "
               "short");
    }
}

void TRomImage::LoadLine(std::string_view line, int lineNumber) {
    const int count = HexFieldToInt(Field(line, 2, 2));
    const int address = HexFieldToInt(Field(line, 4, 4));
    if (count < 0 || address < 0) {
        Report(THexProblem::hpSkippedLine, lineNumber,
               "address or byte count is not hexadecimal; nothing of the line stored");
        return;
    }
    int notHex = 0;
    int beyond = 0;
    int outside = 0;
    for (int j = 0; j < count; ++j) {
        const int position = address + j;
        if (position >= BufferSize) {
            ++beyond;
            continue;
        }
        const int value = HexFieldToInt(DataField(line, j));
        notHex += value < 0 ? 1 : 0;
        outside += position < FirstSentPosition || position >= ImageSize ? 1 : 0;
        data_[static_cast<size_t>(position)] = static_cast<uint8_t>(value & 0xFF);
    }
    if (notHex > 0) {
        Report(THexProblem::hpNotHexadecimal, lineNumber,
               std::to_string(notHex) + " data field(s) not hexadecimal, stored as FF");
    }
    if (beyond > 0) {
        Report(THexProblem::hpBeyondBuffer, lineNumber,
               std::to_string(beyond) + " data byte(s) beyond position FFFF not stored");
    }
    CheckRecord(line, lineNumber, address, count);
    if (outside > 0) {
        Report(THexProblem::hpOutsideImage, lineNumber,
               std::to_string(outside) + " byte(s) stored outside the image positions " +
                   Hex4(FirstSentPosition) + "-" + Hex4(ImageSize - 1) + ", not sent");
    }
}

// The checks that look at more of the record than the loader itself uses: its length, its type
// and its checksum. None of them changes what is stored.
void TRomImage::CheckRecord(std::string_view line, int lineNumber, int address, int count) {
    if (line.empty()) {
        return;
    }
    if (auto text = ShortLineProblem(line, count)) {
        Report(THexProblem::hpShortLine, lineNumber, std::move(*text));
    }
    if (auto text = ExtendedAddressProblem(line, count)) {
        Report(THexProblem::hpExtendedAddress, lineNumber, std::move(*text));
    }
    if (auto text = ChecksumProblem(line, address, count)) {
        Report(THexProblem::hpChecksum, lineNumber, std::move(*text));
    }
}

void TRomImage::Report(THexProblem problem, int lineNumber, std::string text) {
    diagnostics_.push_back({problem, lineNumber, std::move(text)});
}

int TRomImage::GetByte(int position) const {
    if (fileName_.empty()) {
        return NoFileLoaded;
    }
    if (position < 0 || position >= BufferSize) {
        return BadPosition;
    }
    return data_[static_cast<size_t>(position)];
}

int TRomImage::HexFieldToInt(std::string_view text) {
    try {
        long long value = 0;
        for (const char c : text) {
            const int digit = UpperHexDigit(c);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
            if (value > INT_MAX) {
                return -1;
            }
        }
        return static_cast<int>(value);
    } catch (...) {
        kivo::ShowMessageBox("OHOHO", "OHO");
        return -1;
    }
}

const THexDiagnostic* TRomImage::FirstError() const {
    for (const THexDiagnostic& diagnostic : diagnostics_) {
        if (diagnostic.IsError()) {
            return &diagnostic;
        }
    }
    return nullptr;
}

std::span<const uint8_t, TRomImage::BufferSize> TRomImage::Data() const {
    return std::span<const uint8_t, BufferSize>(data_.data(), BufferSize);
}

} // namespace brinomar
