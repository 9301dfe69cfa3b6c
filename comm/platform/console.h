// The program's console: whether a person can answer on standard input.
#pragma once

namespace kivo {

// True when standard input is a terminal (not a pipe, a file or closed).
bool StandardInputIsTerminal();

// Blocks until standard input has something to read or has ended: true then, false when the
// application is terminating first (a stop signal that comes just before the read would
// otherwise leave the read waiting).
bool AwaitStandardInput();

} // namespace kivo
