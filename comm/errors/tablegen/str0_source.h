// Turns the readable message sources into STR0 string tables.
//
// A source file holds one text per line: the identifier, blanks, and the text in double
// quotes, for example
//     2011 "The ComNumber property of the TKvdComPort has not been set"
// Inside the quotes every character stands for itself except \" (a quote) and \\ (a
// backslash), so leading and trailing blanks and empty texts ("") are written as they are.
// Blank lines and lines starting with # are ignored. The text is UTF-8 without control
// characters.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::tablegen {

// A source line that cannot be used, or two texts for one identifier. The message names the
// file and line.
class SourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TextEntry {
    int32_t id;
    std::u16string text;
    std::string origin; // "file:line", for messages
};

// Reads every text of one source file.
std::vector<TextEntry> ParseSource(std::string_view content, const std::string& fileName);

// The STR0 blob of the entries: signature, count, index sorted by identifier, UTF-16LE texts
// in index order. Refuses two entries with the same identifier.
std::vector<uint8_t> BuildStr0(std::vector<TextEntry> entries);

} // namespace kivo::tablegen
