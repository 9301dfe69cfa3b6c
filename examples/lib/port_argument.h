// The PORT argument of the examples: a port number (KIVO_COM<n>=<path> in the environment puts
// a device at number n), or a device path such as /dev/ttyUSB0 or the simulator's /dev/pts/N.
#pragma once

#include <kivo/comm/platform/portmap.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace examples {

// Whether the argument asks for the usage text.
inline bool AsksForHelp(const std::string& argument) {
    return argument == "-h" || argument == "--help";
}

// The port number to open for the argument; 0 when it is neither a number nor a path.
inline uint16_t PortNumberFor(const std::string& argument) {
    if (argument.find('/') != std::string::npos) {
        // A registered path wins over the environment and the scan, so any number will do.
        constexpr int kPathPort = kivo::kMaxComPort;
        return kivo::RegisterComPort(kPathPort, argument) == 0 ? kPathPort : 0;
    }
    char* end = nullptr;
    const long number = std::strtol(argument.c_str(), &end, 10);
    const bool valid =
        !argument.empty() && *end == '\0' && number >= 1 && number <= kivo::kMaxComPort;
    return valid ? static_cast<uint16_t>(number) : 0;
}

} // namespace examples
