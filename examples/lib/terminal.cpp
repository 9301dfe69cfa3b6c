// kivo-terminal: shows what a serial port receives and sends the lines you type. A data
// trigger watches for a text (default "OK") and reports each time it arrives. Ctrl-D ends.
//
//     kivo-terminal PORT [WATCH]
//
// Against the device simulator, which answers "US" with "OK":
//     build/bin/brinomar-devsim &            # prints its device, say /dev/pts/4
//     build/bin/kivo-terminal /dev/pts/4     # type US and Enter
// A real device: kivo-terminal /dev/ttyUSB0, or KIVO_COM3=/dev/ttyUSB0 kivo-terminal 3.
#include <kivo/comm/platform/framework.h>
#include <kivo/comm/platform/winmsg.h>
#include <kivo/comm/port/kvport.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "port_argument.h"

namespace {

// The port's trigger events. They run on the main thread, inside its message loop.
struct TScreen {
    // `count` bytes have arrived: take them and show them.
    void Avail(kivo::TKvdCustomComPort* port, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }
    // The watched text has arrived (the bytes themselves still come through Avail).
    void Data(kivo::TKvdCustomComPort*, uint16_t) {
        std::fprintf(stderr, "\nkivo-terminal: \"%s\" received\n", watched.c_str());
    }
    std::string watched;
};

// Lines typed are sent from the main thread, which owns the port; end of input ends the loop.
void ForwardTypedLines(kivo::TKvdComPort& port) {
    std::string line;
    while (std::getline(std::cin, line)) {
        kivo::RunOnMainThread([&] {
            try {
                port.PutString(line + "\r");
            } catch (const std::exception& e) {
                kivo::ShowException(e);
            }
        });
    }
    kivo::RunOnMainThread([] { kivo::PostQuitMessage(0); });
}

} // namespace

int main(int argc, char** argv) {
    constexpr const char* kUsage = "usage: kivo-terminal PORT [WATCH]\n";
    if (argc == 2 && examples::AsksForHelp(argv[1])) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const uint16_t portNumber = argc > 1 ? examples::PortNumberFor(argv[1]) : 0;
    if (portNumber == 0 || argc > 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    TScreen screen{argc > 2 ? argv[2] : "OK"};
    try {
        kivo::TKvdComPort port;
        port.SetComNumber(portNumber);
        port.SetPromptForPort(false);
        port.SetBaud(9600);
        port.SetOnTriggerAvail(kivo::TTriggerAvailEvent::Bind<&TScreen::Avail>(&screen));
        port.SetOnTriggerData(kivo::TTriggerDataEvent::Bind<&TScreen::Data>(&screen));
        port.SetOpen(true);
        port.AddDataTrigger(screen.watched, false);

        std::thread keyboard(ForwardTypedLines, std::ref(port));
        kivo::TMsg msg;
        while (kivo::GetMessage(msg)) {
            kivo::DispatchMessage(msg);
        }
        keyboard.join();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivo-terminal: %s\n", e.what());
        return 1;
    }
    return 0;
}
