// The program's console: whether a person can answer on standard input.
#pragma once

#include <string>
#include <string_view>

namespace kivo {

// True when standard input is a terminal (not a pipe, a file or closed).
bool StandardInputIsTerminal();

// Reads a line of standard input into `line`, without its newline; a last line without one
// counts. The bytes are taken one at a time, so that nothing typed after the line is held in a
// buffer while the next call waits on the descriptor (a terminal without line editing hands
// over several lines at once). False when the input ends or fails before a line, or when the
// application is terminating first: the wait for input ends then, where a stop signal just
// before a read would leave the read waiting.
bool ReadStandardInputLine(std::string& line);

// `text` made safe to show on a terminal: control characters (C0, DEL and C1) and bytes that are
// not UTF-8 become `\xNN`, so that a file name, a device's description or an answer typed at a
// prompt cannot move the cursor, retitle the window or send the terminal a command. Everything
// else, printable UTF-8 included, stays as it is.
std::string PrintableText(std::string_view text);

} // namespace kivo
