// The program's console: whether a person can answer on standard input.
#pragma once

namespace kivo {

// True when standard input is a terminal (not a pipe, a file or closed).
bool StandardInputIsTerminal();

} // namespace kivo
