// Command line of the device simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brinomar {

struct TDevsimOptions {
    std::string linkPath;
    std::string savePath;
    bool once = false;
    uint32_t paceBaud = 0; // 0: answer as fast as the bytes arrive
    bool silent = false;
    bool lowerCase = false;
    bool noise = false;
    bool surplusOk = false;
    int noAckAfter = 0;   // block whose acknowledgement is left out; 0: none
    int lateAckMs = 0;    // delay of acknowledgements
    int lateAckBlock = 0; // only this block's acknowledgement is late; 0: every one
    bool wrongChecksum = false;
    int hangUpAfter = 0; // block after which the device hangs up; 0: never
    bool stats = false;  // report the host's reply times after each update
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Parses the arguments (without the program name). Returns false with a message in `error`
// when they are not understood.
bool ParseDevsimOptions(const std::vector<std::string>& args, TDevsimOptions& options,
                        std::string& error);

const char* DevsimUsage();

} // namespace brinomar
