// The serial dispatcher against plain termios and libserialport on a pseudo-terminal pair whose
// far end echoes every byte: one-byte round-trip latency (median, p99) and bulk echo
// throughput, the same work for each, side by side in one run.
#include "comm/dispatch/kwwin32.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef KIVO_HAVE_LIBSERIALPORT
#include <libserialport.h>
#endif

using namespace kivo;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 2000;
constexpr int kSamples = 20000;
constexpr size_t kBulkBytes = size_t{64} << 20;
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

struct TResult {
    double medianUs = 0;
    double p99Us = 0;
    double mibPerSecond = 0;
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

bool MeasureRoundTrip(TClient& client, TResult& result) {
    std::vector<double> samples;
    samples.reserve(kSamples);
    for (int i = 0; i < kWarmUp + kSamples; ++i) {
        uint8_t out = static_cast<uint8_t>(i);
        uint8_t in = 0;
        const auto start = Clock::now();
        if (!client.send(&out, 1) || !ReceiveExactly(client, &in, 1) || in != out) {
            return false;
        }
        if (i >= kWarmUp) {
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    std::sort(samples.begin(), samples.end());
    result.medianUs = samples[samples.size() / 2];
    result.p99Us = samples[samples.size() * 99 / 100];
    return true;
}

// A sending thread pushes the bulk while the calling thread takes the echo back.
bool MeasureThroughput(TClient& client, TResult& result) {
    std::vector<uint8_t> out(kChunk);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    const auto start = Clock::now();
    bool sent = true;
    std::thread sender([&] {
        for (size_t done = 0; done < kBulkBytes && sent; done += kChunk) {
            sent = client.send(out.data(), kChunk);
        }
    });
    std::vector<uint8_t> in(kChunk);
    size_t received = 0;
    bool intact = true;
    while (received < kBulkBytes) {
        const size_t got = client.receive(in.data(), std::min(kChunk, kBulkBytes - received));
        if (got == 0) {
            break;
        }
        for (size_t i = 0; i < got; ++i) {
            intact = intact && in[i] == out[(received + i) % kChunk];
        }
        received += got;
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.mibPerSecond = static_cast<double>(received) / (1 << 20) / seconds;
    return sent && intact && received == kBulkBytes;
}

bool Measure(TClient& client, TResult& result) {
    return MeasureRoundTrip(client, result) && MeasureThroughput(client, result);
}

// --- Plain termios: blocking read and write on the slave.
bool RunTermios(const std::string& path, TResult& result) {
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

bool RunDispatcher(const std::string& path, TResult& result) {
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
// not. The measurement runs in a child process with a private mount namespace in which the
// slave is mounted over the node of a serial port that sysfs lists.
constexpr const char* kLentPort = "/dev/ttyS0";

bool MeasureLibserialport(TResult& result) {
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
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(slavePath.c_str(), kLentPort, nullptr, MS_BIND, nullptr) == 0;
}

// 0 measured, 1 the name could not be lent, 2 the measurement failed.
int RunLibserialport(const std::string& slavePath, TResult& result) {
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
    const bool got = child > 0 && read(channel[0], &result, sizeof result) == sizeof result;
    close(channel[0]);
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    return got && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
#endif

void Print(const char* name, const TResult& result, const TResult& termios) {
    std::printf("%-14s round trip median %6.1f us  p99 %6.1f us   bulk echo %7.1f MiB/s (%3.0f %% "
                "of termios)\n",
                name, result.medianUs, result.p99Us, result.mibPerSecond,
                100.0 * result.mibPerSecond / termios.mibPerSecond);
}

} // namespace

int main() {
    TEchoPeer peer;
    if (peer.SlavePath().empty()) {
        std::printf("no pseudo-terminal pair could be opened\n");
        return 1;
    }
    std::printf("one-byte round trips: %d after %d to warm up; bulk echo: %zu MiB in %zu KiB "
                "writes\n",
                kSamples, kWarmUp, kBulkBytes >> 20, kChunk >> 10);
    TResult termios;
    if (!RunTermios(peer.SlavePath(), termios)) {
        std::printf("plain termios run failed\n");
        return 1;
    }
    Print("termios", termios, termios);

    TResult dispatcher;
    if (!RunDispatcher(peer.SlavePath(), dispatcher)) {
        std::printf("dispatcher run failed\n");
        return 1;
    }
    Print("dispatcher", dispatcher, termios);

#ifdef KIVO_HAVE_LIBSERIALPORT
    TResult library;
    switch (RunLibserialport(peer.SlavePath(), library)) {
    case 0:
        Print("libserialport", library, termios);
        std::printf("dispatcher median round trip: %.2f x libserialport's\n",
                    dispatcher.medianUs / library.medianUs);
        break;
    case 1:
        std::printf("libserialport  skipped: it opens only ports listed in sysfs, and lending %s "
                    "to the pseudo-terminal needs a private mount namespace (root)\n",
                    kLentPort);
        break;
    default:
        std::printf("libserialport run failed\n");
        return 1;
    }
#else
    std::printf("libserialport  skipped: libserialport-dev was not installed when this was "
                "built\n");
#endif
    return 0;
}
