// Pseudo-terminal pairs: a serial line inside the machine for tests, benchmarks and the device
// simulator. The slave end is opened by name like any serial device; the master end is a
// serial handle of its own (serial.h) for the program that plays the device.
#pragma once

#include <cstdint>
#include <string>

namespace kivo {

struct TPtyPair {
    int32_t Master = 0;    // serial handle of the master end
    std::string SlavePath; // the device path to open, /dev/pts/N
    std::string LinkPath;  // the symbolic link made to SlavePath, if one was asked for
};

// Opens a pair in raw mode. The slave end is held open with the master, so the master sees no
// hang-up while nobody else has the slave open; closing the pair hangs up the slave's users.
// With `linkPath` a symbolic link to the slave is made there. A link left there by a pair that
// is gone is replaced; anything else at that path (a file, a directory, a link to somewhere
// else or to a pseudo-terminal in use) is left alone and the call fails with -EEXIST.
// Returns 0 or the negated platform code.
int PtyOpen(TPtyPair& pair, const std::string& linkPath = {});

// Makes the symbolic link to the slave of a pair opened without one, by the rules of PtyOpen,
// for a program that must tell the user whether the terminal or the link could not be made.
// The pair stays open whatever the outcome. Returns 0 or the negated platform code.
int PtyLink(TPtyPair& pair, const std::string& linkPath);

// Closes the master end and the held slave, and removes the link if it still leads there.
void PtyClose(TPtyPair& pair);

// Has the master notice when the program on the slave empties the line's queues, as a program
// does when it opens the line, so that the master's owner can tell a new user from the last
// one. Reads of the master still return only the data. 0 or the negated platform code.
int PtyWatchPeerFlush(const TPtyPair& pair);

// Whether the slave's user emptied its queues since the last call. A read of the master that
// returns data after such a flush returns only data written after it.
bool PtyTakePeerFlush(const TPtyPair& pair);

// Makes this thread's timed waits end as close to their deadline as the system can (the
// default lets them run late by up to 50 microseconds), for programs that pace traffic.
void UsePreciseTimers();

} // namespace kivo
