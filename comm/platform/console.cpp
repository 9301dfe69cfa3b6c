#include "comm/platform/console.h"

#include "comm/platform/framework.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace kivo {

namespace {

// Blocks until standard input has something to read or has ended: true then, false when the
// application is terminating first.
bool AwaitStandardInput() {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {ApplicationTerminatingFd(), POLLIN, 0}};
    while (!ApplicationTerminating()) {
        const int ready = poll(fds, 2, -1);
        // A failure other than the signal's is left for the read to report.
        if ((ready > 0 && fds[0].revents != 0) || (ready < 0 && errno != EINTR)) {
            return true;
        }
    }
    return false;
}

// The length of the well-formed UTF-8 character that `text` starts with; 0 when it starts with a
// byte that begins none (a stray continuation byte, an overlong form, a surrogate, a code point
// above U+10FFFF or a character cut short).
size_t Utf8CharacterLength(std::string_view text) {
    const auto byte = [text](size_t i) {
        return i < text.size() ? static_cast<uint8_t>(text[i]) : uint8_t{0};
    };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2 || lead > 0xF4) {
        return 0;
    }
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    const uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// C0, DEL, and C1 (U+0080 to U+009F, which some terminals obey as 8-bit controls).
bool IsControlCharacter(std::string_view character) {
    const auto lead = static_cast<uint8_t>(character[0]);
    return lead < 0x20 || lead == 0x7F ||
           (lead == 0xC2 && static_cast<uint8_t>(character[1]) < 0xA0);
}

void AppendEscaped(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<uint8_t>(c));
        out += escaped;
    }
}

} // namespace

std::string PrintableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t length = Utf8CharacterLength(text);
        const std::string_view character = text.substr(0, length == 0 ? 1 : length);
        if (length == 0 || IsControlCharacter(character)) {
            AppendEscaped(out, character);
        } else {
            out += character;
        }
        text.remove_prefix(character.size());
    }
    return out;
}

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

bool ReadStandardInputLine(std::string& line) {
    line.clear();
    for (;;) {
        if (!AwaitStandardInput()) {
            return false;
        }
        char c;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue; // the next wait sees a stop signal
        }
        if (got <= 0) {
            return !line.empty();
        }
        if (c == '\n') {
            return true;
        }
        line += c;
    }
}

} // namespace kivo
