#include "bench/support/serial_peers.h"

#include <dlfcn.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <vector>

#ifdef KIVO_HAVE_LIBSERIALPORT
#include <libserialport.h>
#endif

extern char** environ;

namespace bench {

namespace {

// Runs `work` in a child process and hands its result back through a pipe. The child's exit
// status: 0 measured, 1 could not start, 2 the measurement failed.
template <typename Work>
int RunInChild(TResult& result, Work work) {
    int channel[2];
    if (pipe(channel) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const int status = work(result);
        [[maybe_unused]] const ssize_t n = write(channel[1], &result, sizeof result);
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

} // namespace

#ifdef KIVO_HAVE_LIBSERIALPORT
// libserialport opens only ports that it finds under /sys/class/tty, which a pseudo-terminal is
// not, and refuses a device without modem lines. The child gets a private mount namespace in
// which the slave is mounted over the node of a serial port that sysfs lists, and in which the
// modem-line requests a pseudo-terminal rejects are answered with lines off, as the
// dispatcher's device layer answers them.
namespace {

constexpr const char* kLentPort = "/dev/ttyS0";
bool gNeutralModemLines = false;

class TLibserialportClient : public TStreamClient {
public:
    TLibserialportClient() {
        if (sp_get_port_by_name(kLentPort, &port_) != SP_OK) {
            return;
        }
        open_ = sp_open(port_, SP_MODE_READ_WRITE) == SP_OK;
        if (open_) {
            sp_set_baudrate(port_, 115200);
            sp_set_bits(port_, 8);
            sp_set_parity(port_, SP_PARITY_NONE);
            sp_set_stopbits(port_, 1);
            sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE);
        }
    }
    ~TLibserialportClient() override {
        if (open_) {
            sp_close(port_);
        }
        sp_free_port(port_);
    }
    bool Ready() const override { return open_; }

protected:
    bool Send(const uint8_t* bytes, size_t count) override {
        return sp_blocking_write(port_, bytes, count, 0) == static_cast<int>(count);
    }
    size_t Receive(uint8_t* buffer, size_t count) override {
        const int got = sp_blocking_read_next(port_, buffer, count, 2000);
        return got > 0 ? static_cast<size_t>(got) : 0;
    }

private:
    sp_port* port_ = nullptr;
    bool open_ = false;
};

bool LendPortName(const std::string& slavePath) {
    gNeutralModemLines = true;
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(slavePath.c_str(), kLentPort, nullptr, MS_BIND, nullptr) == 0;
}

} // namespace

std::string RunLibserialport(const std::string& path, TPhase phase, TResult& result) {
    const int status = RunInChild(result, [&](TResult& r) {
        if (!LendPortName(path)) {
            return 1;
        }
        TLibserialportClient client;
        return client.Ready() && Measure(client, phase, r) ? 0 : 2;
    });
    if (status == 1) {
        return std::string("it opens only ports listed in sysfs, and lending ") + kLentPort +
               " to the pseudo-terminal needs a private mount namespace (root)";
    }
    result.ok = status == 0;
    return {};
}

#else
std::string RunLibserialport(const std::string&, TPhase, TResult&) {
    return "libserialport-dev was not installed when this was built";
}
#endif

// --- pyserial: bench/pyserial_client.py does the same work and prints what it measured.

namespace {

constexpr const char* kPython = "/usr/bin/python3";

const char* PhaseName(TPhase phase) {
    switch (phase) {
    case TPhase::RoundTrip:
        return "roundtrip";
    case TPhase::Bulk:
        return "bulk";
    case TPhase::StopAndWait:
        return "stopandwait";
    }
    return "";
}

// Runs the program and collects its standard output; the exit status, or -1.
int RunProgram(const std::vector<std::string>& args, std::string& output) {
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char chunk[65536];
    for (ssize_t got; started && (got = read(out[0], chunk, sizeof chunk)) > 0;) {
        output.append(chunk, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    if (!started || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool PyserialAvailable() {
    static const bool available = [] {
        std::string ignored;
        return RunProgram({kPython, "-c", "import serial"}, ignored) == 0;
    }();
    return available;
}

void ReadResult(const std::string& output, TPhase phase, TResult& result) {
    std::istringstream in(output);
    if (phase != TPhase::RoundTrip) {
        result.ok = static_cast<bool>(in >> result.seconds);
        return;
    }
    int count = 0;
    while (count < kSamplesPerRound && in >> result.roundTripUs[count]) {
        ++count;
    }
    result.ok = count == kSamplesPerRound;
}

} // namespace

std::string RunPyserial(const std::string& path, TPhase phase, TResult& result) {
    if (!PyserialAvailable()) {
        return std::string(kPython) + " cannot import serial (Debian package python3-serial)";
    }
    std::string output;
    const int status = RunProgram({kPython, KIVO_BENCH_DIR "/pyserial_client.py", path,
                                   PhaseName(phase), std::to_string(kSettleMs),
                                   std::to_string(kWarmUp), std::to_string(kSamplesPerRound),
                                   std::to_string(kBulkPerRound), std::to_string(kChunk),
                                   std::to_string(kBlocksPerRound), std::to_string(kBlock)},
                                  output);
    result.ok = false;
    if (status == 0) {
        ReadResult(output, phase, result);
    }
    return {};
}

} // namespace bench

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
    if (result != 0 && errno == ENOTTY && bench::gNeutralModemLines && modemRequest) {
        if (request == TIOCMGET) {
            *static_cast<int*>(argument) = 0;
        }
        return 0;
    }
    return result;
}
#endif
