// What a command-line program needs of its terminal: whether standard error is one (to draw
// progress there), and Ctrl-C that ends the work in progress cleanly instead of the process.
#pragma once

namespace kivo {

// True when standard error is a terminal (not a pipe, a file or closed).
bool StandardErrorIsTerminal();

// The width of the terminal on descriptor `fd` as it is now, in columns; 0 when `fd` is no
// terminal or the terminal does not tell.
int TerminalColumns(int fd);

// After this call SIGINT, SIGTERM and SIGHUP (the terminal was closed) do not end the process:
// they set the application's terminating flag, so that waits end and the program can close its
// port and finish. A read of standard input that the signal interrupts fails instead of going
// on.
void TerminateOnStopSignals();

// Installs `handler` for the signals that ask a program to stop: SIGINT, SIGTERM and SIGHUP.
// A hang-up that the program was started to ignore (nohup) stays ignored.
void CatchStopSignals(void (*handler)(int));

// Holds each of standard input, output and error that the program was started without on
// /dev/null, so that no descriptor opened later takes its number: what the program prints or
// reads there would otherwise go to that descriptor, a serial port among them. Reading or writing
// the held stream still fails as on a closed one.
void KeepStandardStreamsOpen();

// After this call writing to a pipe whose reader has gone fails (EPIPE) instead of ending the
// process, so that an update goes on to its end when nobody reads its log.
void IgnoreBrokenPipes();

} // namespace kivo
