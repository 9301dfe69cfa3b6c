// Waiting for a child process of a test to end, without polling in a loop.
#pragma once

#include <sys/types.h>

namespace kivo::testing {

// Waits up to `timeoutMs` for the child to end and reaps it: its exit status, 128 + the signal
// for a child ended by one, or -1 when it is still running.
int WaitChildExit(pid_t pid, int timeoutMs);

} // namespace kivo::testing
