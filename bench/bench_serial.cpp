// The serial dispatcher against plain termios and libserialport on a pseudo-terminal pair whose
// far end echoes every byte: one-byte round-trip latency (median, p99) and bulk echo
// throughput, the same work for each, side by side in one run.
#include "comm/dispatch/kwwin32.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef KIVO_HAVE_LIBSERIALPORT
#include <libserialport.h>
#endif

using namespace kivo;

namespace {

using Clock = std::chrono::steady_clock;

// The clients take turns, round after round, so that a change in the machine's load meets
// all of them alike.
constexpr int kRounds = 5;
constexpr int kWarmUp = 500;
constexpr int kSamplesPerRound = 4000;
constexpr size_t kBulkPerRound = size_t{16} << 20;
constexpr size_t kChunk = 65536;

void MakeRaw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = write(fd, bytes, count);
        if (put < 0) {
            return false;
        }
        bytes += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

// The far end: a thread on the master side that writes back whatever arrives. The slave stays
// open here as well, so that the clients can open and close it in turn.
class TEchoPeer {
public:
    TEchoPeer() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || pipe(stop_) != 0) {
            return;
        }
        MakeRaw(master_);
        MakeRaw(slave_);
        path_ = ttyname(slave_);
        thread_ = std::thread([this] { Run(); });
    }
    ~TEchoPeer() {
        if (thread_.joinable()) {
            [[maybe_unused]] const ssize_t n = write(stop_[1], "x", 1);
            thread_.join();
        }
        for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    TEchoPeer(const TEchoPeer&) = delete;
    TEchoPeer& operator=(const TEchoPeer&) = delete;

    const std::string& SlavePath() const { return path_; }

private:
    void Run() {
        std::vector<uint8_t> buffer(kChunk);
        pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
            if (fds[0].revents & POLLIN) {
                const ssize_t got = read(master_, buffer.data(), buffer.size());
                if (got > 0 && !WriteAll(master_, buffer.data(), static_cast<size_t>(got))) {
                    break;
                }
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
};

// One client of the line: how it sends and how it receives.
struct TClient {
    std::function<bool(const uint8_t*, size_t)> send;
    // Receives at least one and at most `count` bytes; 0 on failure.
    std::function<size_t(uint8_t*, size_t)> receive;
};

// What one round of one client measured; plain data, so that a child process can send it.
struct TRound {
    bool ok = false;
    double roundTripUs[kSamplesPerRound] = {};
    double bulkSeconds = 0;
};

// Every round of one client.
class TTally {
public:
    void Add(const TRound& round) {
        samples_.insert(samples_.end(), std::begin(round.roundTripUs), std::end(round.roundTripUs));
        bulkSeconds_ += round.bulkSeconds;
        ++rounds_;
    }
    double MedianUs() { return Percentile(50); }
    double P99Us() { return Percentile(99); }
    double MiBPerSecond() const {
        return static_cast<double>(kBulkPerRound * rounds_) / (1 << 20) / bulkSeconds_;
    }

private:
    double Percentile(size_t percent) {
        std::sort(samples_.begin(), samples_.end());
        return samples_[samples_.size() * percent / 100];
    }

    std::vector<double> samples_;
    double bulkSeconds_ = 0;
    int rounds_ = 0;
};

bool ReceiveExactly(TClient& client, uint8_t* buffer, size_t count) {
    while (count > 0) {
        const size_t got = client.receive(buffer, count);
        if (got == 0) {
            return false;
        }
        buffer += got;
        count -= got;
    }
    return true;
}

bool MeasureRoundTrip(TClient& client, TRound& round) {
    for (int i = 0; i < kWarmUp + kSamplesPerRound; ++i) {
        uint8_t out = static_cast<uint8_t>(i);
        uint8_t in = 0;
        const auto start = Clock::now();
        if (!client.send(&out, 1) || !ReceiveExactly(client, &in, 1) || in != out) {
            return false;
        }
        if (i >= kWarmUp) {
            round.roundTripUs[i - kWarmUp] =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
    }
    return true;
}

// A sending thread pushes the bulk while the calling thread takes the echo back.
bool MeasureThroughput(TClient& client, TRound& round) {
    std::vector<uint8_t> out(kChunk);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    const auto start = Clock::now();
    bool sent = true;
    std::thread sender([&] {
        for (size_t done = 0; done < kBulkPerRound && sent; done += kChunk) {
            sent = client.send(out.data(), kChunk);
        }
    });
    std::vector<uint8_t> in(kChunk);
    size_t received = 0;
    bool intact = true;
    while (received < kBulkPerRound) {
        const size_t got = client.receive(in.data(), std::min(kChunk, kBulkPerRound - received));
        if (got == 0) {
            break;
        }
        for (size_t i = 0; i < got; ++i) {
            intact = intact && in[i] == out[(received + i) % kChunk];
        }
        received += got;
    }
    sender.join();
    round.bulkSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return sent && intact && received == kBulkPerRound;
}

bool Measure(TClient& client, TRound& round) {
    round.ok = MeasureRoundTrip(client, round) && MeasureThroughput(client, round);
    return round.ok;
}

// --- Plain termios: blocking read and write on the slave.
bool RunTermios(const std::string& path, TRound& result) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    MakeRaw(fd);
    TClient client{[fd](const uint8_t* bytes, size_t count) { return WriteAll(fd, bytes, count); },
                   [fd](uint8_t* buffer, size_t count) {
                       const ssize_t got = read(fd, buffer, count);
                       return got > 0 ? static_cast<size_t>(got) : size_t{0};
                   }};
    const bool ok = Measure(client, result);
    close(fd);
    return ok;
}

// --- The dispatcher with its threads: PutBlock queues, GetBlock takes what the dispatch thread
// moved into the input ring, the reader sleeps until the dispatch thread wakes it.
size_t PortReceive(TKvdBaseDispatcher& port, uint8_t* buffer, size_t count) {
    port.inputWaiter = GetCurrentThreadId();
    for (;;) {
        const uint32_t ready = std::min<uint32_t>(port.InBuffUsed(), static_cast<uint32_t>(count));
        if (ready > 0) {
            return port.GetBlock(buffer, ready) == static_cast<int>(ready) ? ready : 0;
        }
        if (!WaitMessage(2000) && port.InBuffUsed() == 0) {
            return 0;
        }
    }
}

bool PortSend(TKvdBaseDispatcher& port, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        if (port.OutBuffFree() == 0 && port.outputEmptySignal.Wait(2000) != WAIT_OBJECT_0) {
            return false;
        }
        const uint32_t part = std::min<uint32_t>(port.OutBuffFree(), static_cast<uint32_t>(count));
        if (part > 0 && port.PutBlock(bytes, part) != 0) {
            return false;
        }
        bytes += part;
        count -= part;
    }
    return true;
}

bool RunDispatcher(const std::string& path, TRound& result) {
    TKvdWin32Dispatcher port(nullptr);
    if (port.InitPort(path.c_str(), 115200, dcbParityNone, 8, 1, 4096, kChunk, false, false) != 0) {
        return false;
    }
    TClient client{
        [&port](const uint8_t* bytes, size_t count) { return PortSend(port, bytes, count); },
        [&port](uint8_t* buffer, size_t count) { return PortReceive(port, buffer, count); }};
    return Measure(client, result);
}

#ifdef KIVO_HAVE_LIBSERIALPORT
// libserialport opens only ports that it finds under /sys/class/tty, which a pseudo-terminal is
// not, and refuses a device without modem lines. The measurement runs in a child process with
// a private mount namespace in which the slave is mounted over the node of a serial port that
// sysfs lists, and in which the modem-line requests a pseudo-terminal rejects are answered
// with lines off, as the dispatcher's device layer answers them.
constexpr const char* kLentPort = "/dev/ttyS0";
bool gNeutralModemLines = false;

bool MeasureLibserialport(TRound& result) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(kLentPort, &port) != SP_OK) {
        return false;
    }
    bool ok = sp_open(port, SP_MODE_READ_WRITE) == SP_OK;
    if (ok) {
        sp_set_baudrate(port, 115200);
        sp_set_bits(port, 8);
        sp_set_parity(port, SP_PARITY_NONE);
        sp_set_stopbits(port, 1);
        sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE);
        TClient client{[port](const uint8_t* bytes, size_t count) {
                           return sp_blocking_write(port, bytes, count, 0) ==
                                  static_cast<int>(count);
                       },
                       [port](uint8_t* buffer, size_t count) {
                           const int got = sp_blocking_read_next(port, buffer, count, 2000);
                           return got > 0 ? static_cast<size_t>(got) : size_t{0};
                       }};
        ok = Measure(client, result);
        sp_close(port);
    }
    sp_free_port(port);
    return ok;
}

bool LendPortName(const std::string& slavePath) {
    gNeutralModemLines = true;
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(slavePath.c_str(), kLentPort, nullptr, MS_BIND, nullptr) == 0;
}

// 0 measured, 1 the name could not be lent, 2 the measurement failed.
int RunLibserialport(const std::string& slavePath, TRound& result) {
    int channel[2];
    if (pipe(channel) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        int status = 1;
        if (LendPortName(slavePath)) {
            status = MeasureLibserialport(result) ? 0 : 2;
        }
        [[maybe_unused]] ssize_t n = write(channel[1], &result, sizeof result);
        _exit(status);
    }
    close(channel[1]);
    auto* bytes = reinterpret_cast<char*>(&result);
    size_t got = 0;
    for (ssize_t n = 1; child > 0 && got < sizeof result && n > 0; got += static_cast<size_t>(n)) {
        n = std::max<ssize_t>(read(channel[0], bytes + got, sizeof result - got), 0);
    }
    close(channel[0]);
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    return got == sizeof result && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
#endif

void Print(const char* name, TTally& tally, TTally& termios) {
    std::printf("%-14s round trip median %6.1f us  p99 %7.1f us   bulk echo %7.1f MiB/s "
                "(%3.0f %% of termios)\n",
                name, tally.MedianUs(), tally.P99Us(), tally.MiBPerSecond(),
                100.0 * tally.MiBPerSecond() / termios.MiBPerSecond());
}

// One round of every client; false when one of them failed.
bool RunRound(const std::string& path, TTally& termios, TTally& dispatcher, TTally& library,
              bool& libraryAvailable) {
    auto round = std::make_unique<TRound>();
    if (!RunTermios(path, *round)) {
        std::printf("plain termios run failed\n");
        return false;
    }
    termios.Add(*round);
    round = std::make_unique<TRound>();
    if (!RunDispatcher(path, *round)) {
        std::printf("dispatcher run failed\n");
        return false;
    }
    dispatcher.Add(*round);
#ifdef KIVO_HAVE_LIBSERIALPORT
    if (libraryAvailable) {
        round = std::make_unique<TRound>();
        const int status = RunLibserialport(path, *round);
        if (status == 2) {
            std::printf("libserialport run failed\n");
            return false;
        }
        libraryAvailable = status == 0;
        if (libraryAvailable) {
            library.Add(*round);
        }
    }
#else
    (void)library;
    libraryAvailable = false;
#endif
    return true;
}

} // namespace

#ifdef KIVO_HAVE_LIBSERIALPORT
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using TIoctl = int (*)(int, unsigned long, void*);
    static const auto system = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
    const int result = system(fd, request, argument);
    const bool modemRequest =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result != 0 && errno == ENOTTY && gNeutralModemLines && modemRequest) {
        if (request == TIOCMGET) {
            *static_cast<int*>(argument) = 0;
        }
        return 0;
    }
    return result;
}
#endif

int main() {
    TEchoPeer peer;
    if (peer.SlavePath().empty()) {
        std::printf("no pseudo-terminal pair could be opened\n");
        return 1;
    }
    std::printf("%d rounds, each client in turn; per round %d one-byte round trips after %d to "
                "warm up, and %zu MiB of bulk echo in %zu KiB writes\n",
                kRounds, kSamplesPerRound, kWarmUp, kBulkPerRound >> 20, kChunk >> 10);
    TTally termios;
    TTally dispatcher;
    TTally library;
    bool libraryAvailable = true;
    for (int i = 0; i < kRounds; ++i) {
        if (!RunRound(peer.SlavePath(), termios, dispatcher, library, libraryAvailable)) {
            return 1;
        }
    }
    Print("termios", termios, termios);
    Print("dispatcher", dispatcher, termios);
    if (libraryAvailable) {
        Print("libserialport", library, termios);
        std::printf("dispatcher median round trip: %.2f x libserialport's\n",
                    dispatcher.MedianUs() / library.MedianUs());
    } else {
#ifdef KIVO_HAVE_LIBSERIALPORT
        std::printf("libserialport  skipped: it opens only ports listed in sysfs, and lending "
                    "%s to the pseudo-terminal needs a private mount namespace (root)\n",
                    kLentPort);
#else
        std::printf("libserialport  skipped: libserialport-dev was not installed when this was "
                    "built\n");
#endif
    }
    return 0;
}
