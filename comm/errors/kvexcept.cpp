#include "comm/errors/kvexcept.h"

#include <limits>

#include "comm/errors/kvexcept_map.h"
#include "comm/platform/oserror.h"

namespace kivo {

namespace {

constexpr const char* kErrorTableName = "KIVO_ERROR_STRINGS_ENGLISH";

// Codes from -162 to -2 are the platform's file and device errors.
constexpr int kFirstPlatformCode = -162;
constexpr int kLastPlatformCode = -2;
constexpr int kUnknownExceptionCode = -9999;

constexpr size_t kMaxMessageBytes = 255;
constexpr int kLoadZBufferSize = 80;

// Cuts a UTF-8 text to at most maxBytes without leaving half a character behind.
void CutUtf8(std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return;
    }
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
}

// System texts may carry line breaks and padding; a message is one line with single blanks.
std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        const char blankOrChar = (static_cast<unsigned char>(c) < 32) ? ' ' : c;
        if (blankOrChar == ' ' && !line.empty() && line.back() == ' ') {
            continue;
        }
        line.push_back(blankOrChar);
    }
    return line;
}

[[noreturn]] void RaisePlatformError(int code) {
    if (code == ecInsufficientMemory) {
        throw EOutOfMemory();
    }
    throw EInOutError(KivoLoadStr(code), EKVDException::MapCodeToStringID(code));
}

} // namespace

EKVDException::EKVDException(int32_t code, bool)
    : Exception(KivoLoadStr(MapCodeToStringID(code))), ErrorCode(code) {}

EKVDException::EKVDException(std::string text, uint8_t)
    : Exception(std::move(text)), ErrorCode(0) {}

int EKVDException::MapCodeToStringID(int code) {
    // The magnitude of the most negative code does not exist; no row has that identifier.
    return code == std::numeric_limits<int>::min() ? std::numeric_limits<int>::max()
                                                   : (code < 0 ? -code : code);
}

int CheckException(const TComponent* component, int code) {
    if (code >= 0 || (component != nullptr && component->Loading())) {
        return code;
    }
    if (code >= kFirstPlatformCode && code <= kLastPlatformCode) {
        RaisePlatformError(code);
    }
    if (const TRaiseClass raise = ClassOfCode(code)) {
        raise(code);
    }
    throw EKVDException(std::string("Kivo exception"));
}

int XlatException(const std::exception& e) {
    if (const auto* kivoError = dynamic_cast<const EKVDException*>(&e)) {
        return kivoError->ErrorCode;
    }
    if (const auto* ioError = dynamic_cast<const EInOutError*>(&e)) {
        // The most negative number has no negation; it turns into the largest one instead.
        const int number = ioError->ErrorCode;
        return number == std::numeric_limits<int>::min() ? std::numeric_limits<int>::max()
                                                         : -number;
    }
    if (dynamic_cast<const EOutOfMemory*>(&e) != nullptr) {
        return ecInsufficientMemory;
    }
    return kUnknownExceptionCode;
}

std::string KivoLoadStr(int code) {
    const int id = EKVDException::MapCodeToStringID(code);
    std::string text = KivoErrorStrings().GetString(id);
    if (text.empty()) {
        text = OsErrorText(id);
        CutUtf8(text, kMaxMessageBytes);
        text = OneLine(text);
    }
    CutUtf8(text, kMaxMessageBytes);
    return text;
}

std::string ErrorMsg(int code) {
    return KivoLoadStr(code);
}

char* KivoLoadZ(char* buffer, int code) {
    return KivoErrorStrings().GetAsciiZ(EKVDException::MapCodeToStringID(code), buffer,
                                        kLoadZBufferSize);
}

const TKvStringResource& KivoErrorStrings() {
    static const TKvStringResource reader(kMainInstance, kErrorTableName);
    return reader;
}

} // namespace kivo
