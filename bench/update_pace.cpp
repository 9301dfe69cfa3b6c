// A whole update against the simulator pacing its line at 115200 and at 9600 baud, done by
// brinomar-flash, by a minimal host written directly on termios, and by that host writing the
// log lines brinomar-flash writes (one per sector, to a pipe the benchmark reads line by line,
// after the sector that follows the acknowledgement), in rounds taken in turn:
//   - how much longer each takes than the wire time of the bytes the update exchanges (both
//     time the same stretch: from opening the device to the checksum; brinomar-flash from its
//     first log line to "CheckSum OK");
//   - how soon, as the simulator sees it, each sends on after an answer of the device (the
//     median over the update's answers; the median of those over the rounds);
//   - the processor time each spends meanwhile (brinomar-flash: the whole process with its
//     threads, start and HEX file included; the host: its process).
#include "bench/bench_table.h"
#include "bench/support/update_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

struct TUpdateTime {
    double wallSeconds;
    double cpuSeconds;
    double replyUs = 0; // the simulator's median from an answer to the host's next bytes
};

bool ReadByte(int fd, uint8_t& byte) {
    return read(fd, &byte, 1) == 1;
}

speed_t SpeedOf(int baud) {
    return baud == 9600 ? B9600 : B115200;
}

// The update as the protocol has it, with blocking reads and writes and nothing else (but the
// log lines, when logFd is not -1): the seconds from opening the device to the checksum, or a
// negative value on failure.
double RawHostUpdate(const std::string& path, const std::vector<uint8_t>& image, int baud,
                     int logFd) {
    const Clock::time_point start = Clock::now();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetspeed(&settings, SpeedOf(baud));
    tcsetattr(fd, TCSANOW, &settings);
    uint8_t answer[2];
    bool ok = write(fd, "US", 2) == 2 && ReadByte(fd, answer[0]) && ReadByte(fd, answer[1]) &&
              write(fd, "O", 1) == 1;
    uint8_t sum = 0;
    for (int sector = 0; ok && sector < kSectors; ++sector) {
        const uint8_t* bytes = image.data() + sector * kSectorSize;
        for (int i = 0; i < kSectorSize; ++i) {
            sum = static_cast<uint8_t>(sum + bytes[i]);
        }
        ok = write(fd, bytes, kSectorSize) == kSectorSize;
        if (ok && logFd >= 0 && sector > 0) {
            char line[32];
            const int number = kFirstPosition / kSectorSize + sector;
            const int n = std::snprintf(line, sizeof line, "Sector %03d OK\n", number);
            ok = write(logFd, line, static_cast<size_t>(n)) == n;
        }
        ok = ok && ReadByte(fd, answer[0]);
    }
    ok = ok && answer[0] == sum;
    close(fd);
    return ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

// The minimal host in a process of its own, so that its processor time is counted alone. Its
// log lines, if it writes them, are read as they come, as those of brinomar-flash are.
std::optional<TUpdateTime> HostUpdate(const std::string& path, const std::vector<uint8_t>& image,
                                      int baud, bool logLines) {
    int channel[2];
    int log[2] = {-1, -1};
    if (pipe(channel) != 0 || (logLines && pipe(log) != 0)) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        const double seconds = RawHostUpdate(path, image, baud, log[1]);
        [[maybe_unused]] const ssize_t n = write(channel[1], &seconds, sizeof seconds);
        _exit(seconds < 0);
    }
    close(channel[1]);
    if (logLines) {
        close(log[1]);
        char line[64];
        while (child > 0 && read(log[0], line, sizeof line) > 0) {
        }
        close(log[0]);
    }
    double seconds = -1;
    const bool got = child > 0 && read(channel[0], &seconds, sizeof seconds) == sizeof seconds;
    close(channel[0]);
    int status = 0;
    rusage usage{};
    if (child <= 0 || wait4(child, &status, 0, &usage) != child || !got || seconds < 0) {
        return std::nullopt;
    }
    return TUpdateTime{seconds, CpuSeconds(usage)};
}

std::optional<TUpdateTime> FlashUpdate(const std::string& path, const std::string& hexFile,
                                       int baud) {
    TChild flash({ProgramDirectory() + "/brinomar-flash", "--port", path, "--baud",
                  std::to_string(baud), "--no-progress", hexFile});
    std::optional<Clock::time_point> start;
    Clock::time_point end;
    std::string last;
    while (std::optional<std::string> line = flash.ReadLine()) {
        end = Clock::now();
        start = start.value_or(end);
        last = *line;
    }
    rusage usage{};
    if (flash.Wait(usage) != 0 || last != "CheckSum OK" || !start) {
        return std::nullopt;
    }
    return TUpdateTime{std::chrono::duration<double>(end - *start).count(), CpuSeconds(usage)};
}

struct TSideTimes {
    const char* name;
    std::vector<TUpdateTime> rounds;

    // The median round by wall time.
    TUpdateTime Median() {
        std::sort(rounds.begin(), rounds.end(), [](const TUpdateTime& a, const TUpdateTime& b) {
            return a.wallSeconds < b.wallSeconds;
        });
        return rounds[rounds.size() / 2];
    }

    // The median over the rounds of the simulator's median reply time.
    double MedianReplyUs() const {
        std::vector<double> replies;
        for (const TUpdateTime& round : rounds) {
            replies.push_back(round.replyUs);
        }
        std::nth_element(replies.begin(), replies.begin() + replies.size() / 2, replies.end());
        return replies[replies.size() / 2];
    }
};

// Ratios are against the minimal host; the host with log lines shows what printing the lines
// brinomar-flash must print costs by itself.
void Report(int baud, TSideTimes& flash, TSideTimes& host, TSideTimes& loggingHost) {
    const std::string rate = "update " + std::to_string(baud);
    const double wire = WireSeconds(baud);
    const TUpdateTime h = host.Median();
    const double hostReply = host.MedianReplyUs();
    const std::vector<TSideTimes*> sides = {&flash, &host, &loggingHost};
    for (TSideTimes* side : sides) {
        const double seconds = side->Median().wallSeconds;
        const double overWire = seconds / wire;
        PrintRow(rate + " wall vs wire " + Fixed(wire, 2) + " s", side->name,
                 Fixed(seconds, 3) + " s", Over(overWire),
                 side == &flash && baud == 115200 ? Target("<= +1.50 %", overWire <= 1.015)
                                                  : TTarget{});
    }
    for (TSideTimes* side : sides) {
        const double reply = side->MedianReplyUs();
        PrintRow(rate + " reply after an answer (us)", side->name, Fixed(reply, 0),
                 Times(reply / hostReply));
    }
    for (TSideTimes* side : sides) {
        const TUpdateTime t = side->Median();
        PrintRow(rate + " CPU (ms, % of wall)", side->name,
                 Fixed(t.cpuSeconds * 1e3, 0) + " " + Fixed(100 * t.cpuSeconds / t.wallSeconds, 2) +
                     "%",
                 Times(t.cpuSeconds / h.cpuSeconds),
                 side == &flash ? Target("<= 2.00 x host", t.cpuSeconds <= 2 * h.cpuSeconds)
                                : TTarget{});
    }
}

// One side's update of the device at the given path.
using TUpdate = std::function<std::optional<TUpdateTime>(const std::string& path)>;

// The update of one side against a simulator of its own, with the simulator's reply time.
std::optional<TUpdateTime> OneRound(int baud, const TUpdate& update) {
    TSimulator simulator(baud);
    std::optional<TUpdateTime> time =
        simulator.DevicePath() ? update(*simulator.DevicePath()) : std::nullopt;
    const std::optional<double> reply = simulator.ReplyMedianUs();
    if (!time || !reply) {
        return std::nullopt;
    }
    time->replyUs = *reply;
    return time;
}

// Rounds of the sides in turn; false when one failed.
bool MeasureAt(int baud, int rounds, const std::vector<uint8_t>& image, const THexFile& hexFile) {
    std::fprintf(stderr, "update at %d baud: %d bytes exchanged, wire time %.3f s, %d rounds\n",
                 baud, kBytesExchanged, WireSeconds(baud), rounds);
    TSideTimes host{"termios host", {}};
    TSideTimes loggingHost{"host + log lines", {}};
    TSideTimes flash{"brinomar-flash", {}};
    const std::vector<std::pair<TSideTimes*, TUpdate>> sides = {
        {&host, [&](const std::string& path) { return HostUpdate(path, image, baud, false); }},
        {&flash, [&](const std::string& path) { return FlashUpdate(path, hexFile.Path(), baud); }},
        {&loggingHost,
         [&](const std::string& path) { return HostUpdate(path, image, baud, true); }},
    };
    for (int round = 0; round < rounds; ++round) {
        for (const auto& [side, update] : sides) {
            const std::optional<TUpdateTime> time = OneRound(baud, update);
            if (!time) {
                std::fprintf(stderr, "update at %d baud failed (%s)\n", baud, side->name);
                return false;
            }
            side->rounds.push_back(*time);
        }
    }
    Report(baud, flash, host, loggingHost);
    return true;
}

} // namespace
} // namespace bench

// Usage: bench_update_pace [ROUNDS_AT_115200 [ROUNDS_AT_9600]]   (default 5 and 1)
int main(int argc, char** argv) {
    using namespace bench;
    const std::string bin = ProgramDirectory();
    if (!std::filesystem::exists(bin + "/brinomar-flash") ||
        !std::filesystem::exists(bin + "/brinomar-devsim")) {
        PrintSkipped("update", "brinomar-flash",
                     "brinomar-flash and brinomar-devsim are not built");
        return 0;
    }
    const int fastRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int slowRounds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1;
    const std::vector<uint8_t> image = TestImage();
    const THexFile hexFile(image);
    bool ok = MeasureAt(115200, fastRounds, image, hexFile);
    if (slowRounds > 0) {
        ok = MeasureAt(9600, slowRounds, image, hexFile) && ok;
    }
    return ok ? 0 : 1;
}
