// The firmware image sent to the device: a flat 64 KiB buffer whose first 0xF700 bytes are the
// image, filled from HEX firmware files. The reader takes each line's address, byte count and data
// bytes and nothing else, so every line but the file's last is stored as if it were a data record.
// What it finds doubtful on the way is kept as a list of diagnostics, so that a caller can show it
// and refuse to send an image whose bytes are known to be wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brinomar {

// A problem found while loading a file. Errors mean that stored bytes differ from what the file
// meant; warnings point at something unusual that does not change the image that is sent.
enum class THexProblem : uint8_t {
    hpNotHexadecimal,  // error: a data field with other characters than 0-9, A-F, stored as FF
    hpSkippedLine,     // error: address or byte count not hexadecimal, nothing of the line stored
    hpBeyondBuffer,    // error: data bytes that would fall at 0x10000 or above, not stored
    hpExtendedAddress, // error: a type 02/04 record with a non-zero base; what follows lands low
    hpShortLine,       // error: the line ends inside its data, the missing bytes stored as 00
    hpNoEndRecord,     // error: no end-of-file record at the end, the file may be cut short
    hpChecksum,        // warning: the record's checksum is missing or does not match
    hpOutsideImage,    // warning: bytes stored outside the positions 0x200-0xF6FF that are sent
};

struct THexDiagnostic {
    THexProblem Problem;
    int Line; // 1-based line number in the file
    std::string Text;

    bool IsError() const { return Problem < THexProblem::hpChecksum; }
};

// "LINE: error: TEXT" or "LINE: warning: TEXT".
std::string FormatDiagnostic(const THexDiagnostic& diagnostic);

class TRomImage {
public:
    static constexpr int ImageSize = 0xF700;
    static constexpr int BufferSize = 0x10000;
    static constexpr int FirstSentPosition = 0x200;
    static constexpr int NoFileLoaded = -100;
    // GetByte's answer for a position outside the buffer: the library's bad-argument code.
    static constexpr int BadPosition = -1002;
    // The longest file LoadFile reads. A file that gives each of the 65,536 positions a record of
    // its own stays under 1 MiB, so no firmware for this image comes near the limit; a device or
    // a pipe that never ends (/dev/zero) must not fill memory.
    static constexpr size_t MaxFileSize = 4 * 1024 * 1024;

    TRomImage();

    // Names the file, then overlays its bytes on the image. A file that cannot be opened or read,
    // or that is longer than MaxFileSize, raises kivo::EInOutError naming the file and the
    // reason; the image then holds what the last load without errors left.
    void LoadFile(const std::string& name);
    // Overlays the bytes of HEX text already in memory; the file name is left alone. A load that
    // found errors is refused for sending, so the next load overlays the image as it stood before
    // it: bytes of a refused file never reach the device with a later file's.
    void LoadFromText(std::string_view text);

    // The byte at `position` (0-255); NoFileLoaded while no file has been named.
    int GetByte(int position) const;
    int GetSize() const { return ImageSize; }
    const std::string& FileName() const { return fileName_; }
    // The whole buffer, whether or not a file has been named.
    std::span<const uint8_t, BufferSize> Data() const;

    // Value of an upper-case hexadecimal field; 0 when empty, -1 when any character is not a
    // digit 0-9 or A-F or when the value does not fit an int.
    static int HexFieldToInt(std::string_view text);

    // What the last load found, in line order.
    const std::vector<THexDiagnostic>& Diagnostics() const { return diagnostics_; }
    bool HasErrors() const { return FirstError() != nullptr; }
    const THexDiagnostic* FirstError() const;

private:
    void LoadLine(std::string_view line, int lineNumber);
    void CheckEnd(const std::vector<std::string_view>& lines);
    void CheckRecord(std::string_view line, int lineNumber, int address, int count);
    void Report(THexProblem problem, int lineNumber, std::string text);

    std::string fileName_;
    std::vector<uint8_t> data_;
    // The image as the last load without errors left it.
    std::vector<uint8_t> accepted_;
    std::vector<THexDiagnostic> diagnostics_;
};

} // namespace brinomar
