// The serial libraries the benchmark compares with, each measured in a child process so that
// it runs as its users run it: libserialport (C) and pyserial (Python).
#pragma once

#include "bench/support/serial_client.h"

#include <functional>
#include <string>

namespace bench {

// Measures one round of one kind of work on the device at `path`. Returns an empty string when
// the peer ran (result.ok tells whether it succeeded), else why it cannot run here.
using TPeerRun = std::function<std::string(const std::string& path, TPhase, TResult&)>;

std::string RunLibserialport(const std::string& path, TPhase phase, TResult& result);
std::string RunPyserial(const std::string& path, TPhase phase, TResult& result);

} // namespace bench
