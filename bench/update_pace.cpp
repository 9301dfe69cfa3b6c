// A whole update against the device simulator pacing its line at 115200 baud, done by
// brinomar-flash and by a minimal host written directly on termios, in alternating rounds:
// how much longer each takes than the wire time of the bytes the update exchanges.
//
// Both sides time the same stretch: from opening the device to the arrival of the checksum
// (brinomar-flash: from its first log line to "CheckSum OK"). The programs are taken from the
// directory of this benchmark.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaud = 115200;
constexpr int kRounds = 3;
constexpr int kFirstPosition = 0x200;
constexpr int kImageEnd = 0xF700;
constexpr int kBlock = 128;
constexpr int kBlocks = (kImageEnd - kFirstPosition) / kBlock;
// "US", "OK", "O", the image, an acknowledgement after every block but the last, the checksum.
constexpr int kBytesExchanged = 2 + 2 + 1 + kBlocks * kBlock + (kBlocks - 1) + 1;

double WireSeconds() {
    return kBytesExchanged * 10.0 / kBaud;
}

std::vector<uint8_t> TestImage() {
    std::vector<uint8_t> image(kImageEnd - kFirstPosition);
    uint32_t state = 2024;
    for (uint8_t& b : image) {
        state = state * 1103515245 + 12345;
        b = static_cast<uint8_t>(state >> 16);
    }
    return image;
}

// The image as a HEX file for brinomar-flash.
void WriteHexFile(const std::string& path, const std::vector<uint8_t>& image) {
    std::ofstream out(path);
    for (size_t at = 0; at < image.size(); at += 16) {
        const int address = kFirstPosition + static_cast<int>(at);
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        char text[64];
        std::snprintf(text, sizeof text, ":10%04X00", address);
        out << text;
        for (size_t i = 0; i < 16; ++i) {
            std::snprintf(text, sizeof text, "%02X", image[at + i]);
            out << text;
            sum += image[at + i];
        }
        std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out << text;
    }
    out << ":00000001FF\n";
}

// A child process whose standard output is read line by line.
class TChild {
public:
    TChild(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
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
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = out[0];
    }
    ~TChild() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        close(output_);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    std::optional<std::string> ReadLine() {
        size_t end;
        while ((end = buffered_.find('\n')) == std::string::npos) {
            char chunk[4096];
            const ssize_t got = read(output_, chunk, sizeof chunk);
            if (got <= 0) {
                return std::nullopt;
            }
            buffered_.append(chunk, static_cast<size_t>(got));
        }
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
    }

    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

bool ReadByte(int fd, uint8_t& byte) {
    return read(fd, &byte, 1) == 1;
}

// The update as the protocol has it, with blocking reads and writes and nothing else.
std::optional<double> RawHostUpdate(const std::string& path, const std::vector<uint8_t>& image) {
    const Clock::time_point start = Clock::now();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetspeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
    uint8_t answer[2];
    bool ok = write(fd, "US", 2) == 2 && ReadByte(fd, answer[0]) && ReadByte(fd, answer[1]) &&
              write(fd, "O", 1) == 1;
    uint8_t sum = 0;
    for (int block = 0; ok && block < kBlocks; ++block) {
        const uint8_t* bytes = image.data() + block * kBlock;
        for (int i = 0; i < kBlock; ++i) {
            sum = static_cast<uint8_t>(sum + bytes[i]);
        }
        ok = write(fd, bytes, kBlock) == kBlock && ReadByte(fd, answer[0]);
    }
    ok = ok && answer[0] == sum;
    close(fd);
    if (!ok) {
        return std::nullopt;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::optional<double> FlashUpdate(const std::string& bin, const std::string& path,
                                  const std::string& hexFile) {
    TChild flash({bin + "/brinomar-flash", "--port", path, "--baud", std::to_string(kBaud),
                  "--no-progress", hexFile});
    std::optional<Clock::time_point> start;
    Clock::time_point end;
    std::string last;
    while (std::optional<std::string> line = flash.ReadLine()) {
        end = Clock::now();
        start = start.value_or(end);
        last = *line;
    }
    if (flash.Wait() != 0 || last != "CheckSum OK" || !start) {
        return std::nullopt;
    }
    return std::chrono::duration<double>(end - *start).count();
}

template <typename Update>
std::optional<double> RoundAgainstSimulator(const std::string& bin, Update update) {
    TChild devsim({bin + "/brinomar-devsim", "--pace", std::to_string(kBaud)});
    const std::optional<std::string> path = devsim.ReadLine();
    return path ? update(*path) : std::nullopt;
}

void Report(const char* name, std::vector<double> seconds) {
    if (seconds.empty()) {
        std::printf("%-16s failed\n", name);
        return;
    }
    std::sort(seconds.begin(), seconds.end());
    const double wire = WireSeconds();
    std::printf("%-16s best %.3f s (%+.2f %%), median %.3f s (%+.2f %%)\n", name, seconds.front(),
                (seconds.front() / wire - 1) * 100, seconds[seconds.size() / 2],
                (seconds[seconds.size() / 2] / wire - 1) * 100);
}

} // namespace

int main() {
    const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path();
    if (!std::filesystem::exists(bin / "brinomar-flash") ||
        !std::filesystem::exists(bin / "brinomar-devsim")) {
        std::printf("brinomar-flash and brinomar-devsim are not built beside this benchmark\n");
        return 0;
    }
    const std::vector<uint8_t> image = TestImage();
    const std::string hexFile = (std::filesystem::temp_directory_path() /
                                 ("bench_update_" + std::to_string(getpid()) + ".hex"))
                                    .string();
    WriteHexFile(hexFile, image);

    std::printf("update at %d baud: %d bytes exchanged, wire time %.3f s\n", kBaud, kBytesExchanged,
                WireSeconds());
    std::vector<double> raw;
    std::vector<double> flash;
    for (int round = 0; round < kRounds; ++round) {
        if (auto s = RoundAgainstSimulator(
                bin, [&](const std::string& path) { return RawHostUpdate(path, image); })) {
            raw.push_back(*s);
        }
        if (auto s = RoundAgainstSimulator(
                bin, [&](const std::string& path) { return FlashUpdate(bin, path, hexFile); })) {
            flash.push_back(*s);
        }
    }
    std::filesystem::remove(hexFile);
    Report("termios host", raw);
    Report("brinomar-flash", flash);
    return raw.size() == kRounds && flash.size() == kRounds ? 0 : 1;
}
