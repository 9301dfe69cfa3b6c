// Unit Kvsrmgr: reads the library's STR0 string tables. A table is a named read-only resource
// laid out as: the signature "STR0", the entry count N (u32), N index records of 12 bytes
// (identifier i32, byte offset of the text u32, text length in UTF-16 units u32) sorted by
// identifier, then the UTF-16LE texts back to back. All numbers are little-endian.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "comm/platform/framework.h"
#include "comm/platform/resources.h"

namespace kivo {

// The signature at the start of every table.
inline constexpr char ResID[4] = {'S', 'T', 'R', '0'};

// A table could not be found, loaded or locked, or is not a string table.
class EZorStringResourceError : public Exception {
public:
    using Exception::Exception;
};

// A reader over one string table. Lookups do not change the reader, so several threads may
// look up texts at once; opening another table (ChangeResource) must not overlap lookups.
// Narrow texts are UTF-8.
class TKvStringResource {
public:
    // Opens the named table of the instance (its localized resources first); see ChangeResource.
    TKvStringResource(HModule instance, const std::string& resourceName);
    ~TKvStringResource();
    TKvStringResource(const TKvStringResource&) = delete;
    TKvStringResource& operator=(const TKvStringResource&) = delete;

    // Closes the current table and, when the name is not empty, opens the named one. Raises
    // EZorStringResourceError when the table is missing, cannot be loaded or locked, or is not
    // a string table.
    void ChangeResource(HModule instance, const std::string& resourceName);

    // The text of an identifier; empty when the table has no such identifier.
    std::string GetString(int32_t ident) const;

    // The text cut to at most bufChars - 1 bytes, never inside a character, and zero-terminated.
    // Writes nothing when buffer is null or bufChars < 1.
    char* GetAsciiZ(int32_t ident, char* buffer, int bufChars) const;

    // At most bufChars - 1 UTF-16 units of the text, never half a surrogate pair, and a zero
    // unit. Writes nothing when buffer is null or bufChars < 1.
    char16_t* GetWideChar(int32_t ident, char16_t* buffer, int bufChars) const;

private:
    void srOpenResource(HModule instance, const std::string& resourceName);
    void srLoadResource(HModule instance, const std::string& resourceName);
    std::span<const uint8_t> srLock() const;
    std::u16string srFindIdent(int32_t ident) const;
    void srCloseResource();

    ResourceBytes resource_;
};

// The reader over "KVSRMGR_STRINGS", the texts of the reader's own failures; opened on first use.
const TKvStringResource& ZorResStrings();

// A table built into the library from the message sources.
struct TBuiltinStringTable {
    const char* name;
    std::span<const uint8_t> bytes;
};

// The built-in tables, registered in kMainInstance before the first table is opened.
std::span<const TBuiltinStringTable> BuiltinStringTables();

} // namespace kivo
