// kivo-request: sends a request and waits for the answer, giving up after a time-out.
//
//     kivo-request PORT [REQUEST [ANSWER [SECONDS]]]        (defaults: US OK 2)
//
// Against the device simulator, which answers "US" with "OK":
//     build/bin/brinomar-devsim &          # prints its device, say /dev/pts/4
//     build/bin/kivo-request /dev/pts/4    # or: KIVO_COM1=/dev/pts/4 build/bin/kivo-request 1
// Start the simulator with --silent to see the time-out. A real device: kivo-request /dev/ttyUSB0.
#include <kivo/comm/port/kvport.h>
#include <kivo/comm/util/oomisc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "port_argument.h"

namespace {

constexpr const char* kUsage = "usage: kivo-request PORT [REQUEST [ANSWER [SECONDS]]]\n";

// The SECONDS argument: a whole number from 1 up to the longest time-out a wait can count; 0
// for anything else.
int SecondsFor(const std::string& argument) {
    char* end = nullptr;
    const long seconds = std::strtol(argument.c_str(), &end, 10);
    const bool valid = !argument.empty() && *end == '\0' && seconds >= 1 &&
                       seconds <= kivo::Ticks2Secs(kivo::kMaxTimerTicks);
    return valid ? static_cast<int>(seconds) : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && examples::AsksForHelp(argv[1])) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const uint16_t portNumber = argc > 1 ? examples::PortNumberFor(argv[1]) : 0;
    const std::string request = argc > 2 ? argv[2] : "US";
    const std::string answer = argc > 3 ? argv[3] : "OK";
    const int seconds = argc > 4 ? SecondsFor(argv[4]) : 2;
    if (portNumber == 0 || seconds == 0 || argc > 5) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        kivo::TKvdComPort port;
        port.SetComNumber(portNumber);
        port.SetPromptForPort(false); // a missing port is an error, not a question
        port.SetBaud(9600);
        port.SetOpen(true);

        port.PutString(request);
        // Waits in ticks of 55 ms; the bytes read while waiting are consumed.
        if (port.WaitForString(answer, kivo::Secs2Ticks(seconds), true, false)) {
            std::printf("%s answered %s\n", request.c_str(), answer.c_str());
            return 0;
        }
        std::printf("no %s within %d s\n", answer.c_str(), seconds);
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivo-request: %s\n", e.what());
        return 1;
    }
}
