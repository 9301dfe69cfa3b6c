// A program that uses an installed kivocomm as a user's program does: the headers under
// <kivo/...>, the message texts built into the library, and a port component whose threads
// carry bytes both ways over a pseudo-terminal. Exits 0 when all of it works.
#include <kivo/comm/errors/kvexcept.h>
#include <kivo/comm/platform/portmap.h>
#include <kivo/comm/platform/pty.h>
#include <kivo/comm/platform/serial.h>
#include <kivo/comm/port/kvport.h>

#include <cstdio>
#include <exception>
#include <string>

namespace {

constexpr int kPortNumber = 9;
constexpr int64_t kDeviceWaitUs = 5'000'000;

// What the far end of the line has received, up to `count` bytes or until it waits in vain.
std::string DeviceReceives(int32_t device, size_t count) {
    std::string received;
    kivo::SerialSetEventMask(device, kivo::ev_RxChar);
    while (received.size() < count) {
        uint32_t events = 0;
        if (kivo::SerialWaitEvent(device, events, kDeviceWaitUs) != 0 || events == 0) {
            break;
        }
        char buffer[64];
        const int got = kivo::SerialRead(device, buffer, sizeof buffer);
        received.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    return received;
}

// Empty when the exchange worked, otherwise what went wrong.
std::string Exchange(int32_t device) {
    kivo::TKvdComPort port;
    port.SetComNumber(kPortNumber);
    port.SetBaud(115200);
    port.SetOpen(true);
    port.PutString("ping");
    if (DeviceReceives(device, 4) != "ping") {
        return "the device did not receive what the port sent";
    }
    kivo::SerialWrite(device, "pong", 4);
    if (!port.WaitForString("pong", kivo::Secs2Ticks(5), true, false)) {
        return "the port did not receive what the device sent";
    }
    port.SetOpen(false);
    return {};
}

} // namespace

int main() {
    if (kivo::KivoLoadStr(-2001).rfind("ie_BadId", 0) != 0) {
        std::fputs("consumer: the library's message texts are missing\n", stderr);
        return 1;
    }
    kivo::TPtyPair line;
    if (kivo::PtyOpen(line) != 0 || kivo::RegisterComPort(kPortNumber, line.SlavePath) != 0) {
        std::fputs("consumer: no pseudo-terminal\n", stderr);
        return 1;
    }
    std::string failure;
    try {
        failure = Exchange(line.Master);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    kivo::PtyClose(line);
    if (!failure.empty()) {
        std::fprintf(stderr, "consumer: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
