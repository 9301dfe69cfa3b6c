// What the update benchmarks share: the image they send, its HEX file, the wire time of a
// whole update, and child processes (the simulator, brinomar-flash) read line by line.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kFirstPosition = 0x200;
inline constexpr int kImageEnd = 0xF700;
inline constexpr int kSectorSize = 128;
inline constexpr int kSectors = (kImageEnd - kFirstPosition) / kSectorSize;
// "US", "OK", "O", the image, an acknowledgement after every sector but the last, the checksum.
inline constexpr int kBytesExchanged = 2 + 2 + 1 + kSectors * kSectorSize + (kSectors - 1) + 1;

// Ten bits a byte (8N1), one byte after the other.
double WireSeconds(int baud);

// Image positions 0x200-0xF6FF: pseudo-random bytes, as a firmware looks to the line.
std::vector<uint8_t> TestImage();

// The image as a HEX file in the temporary directory; removed with the object.
class THexFile {
public:
    explicit THexFile(const std::vector<uint8_t>& image);
    ~THexFile();
    THexFile(const THexFile&) = delete;
    THexFile& operator=(const THexFile&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The directory holding this benchmark program, where the build puts the other programs too.
std::string ProgramDirectory();

// CPU seconds (user + system) in a resource record.
double CpuSeconds(const rusage& usage);

// A child process whose standard output is read line by line. Ending the object ends the child
// (SIGTERM) unless Wait collected it.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& args);
    ~TChild();
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    bool Started() const { return pid_ > 0; }
    std::optional<std::string> ReadLine();
    // The exit status (-1 when killed), with the child's resource use.
    int Wait(rusage& usage);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

// The simulator playing the device at `baud`: its device path once it is up.
class TSimulator {
public:
    explicit TSimulator(int baud);
    const std::optional<std::string>& DevicePath() const { return path_; }
    // After an update: how soon, as a median in microseconds, the host's next bytes came after
    // each answer of the device; nothing when the simulator did not say.
    std::optional<double> ReplyMedianUs();

private:
    TChild child_;
    std::optional<std::string> path_;
};

} // namespace bench
