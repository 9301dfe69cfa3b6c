// What the end-to-end tests of an update share: the device simulator on its pseudo-terminal,
// the example firmware and the log of a complete update.
#pragma once

#include "tests/cli/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace brinomar::testing {

std::string ExampleFirmware(); // examples/firmware.hex
// The bytes an update sends of a file: image positions 0x200 to 0xF6FF.
std::string SentImageOf(const std::string& hexFile);
// "Get in touch with Brinomar", "Connection with Brinomar", "Sector 005 OK" ... up to
// "Sector `lastSector` OK".
std::vector<std::string> LogUpTo(int lastSector);
// The log of a complete update that ends with "CheckSum" and `lastLine`.
std::vector<std::string> CompleteLog(const std::string& lastLine = "CheckSum OK");

class TDevsim {
public:
    // Starts brinomar-devsim with `args`; its standard error goes to `errorFile`.
    TDevsim(const std::vector<std::string>& args, const std::string& errorFile);

    // The device path to open; empty when the simulator did not start.
    const std::string& Path() const { return path_; }
    int Wait(int timeoutMs) { return process_.Wait(timeoutMs); }
    // Ends the simulator as SIGTERM does (saving an update in progress) and returns its status.
    int Stop();

private:
    TChildProcess process_;
    std::string path_;
};

} // namespace brinomar::testing
