#include "bench/support/update_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace bench {

double WireSeconds(int baud) {
    return kBytesExchanged * 10.0 / baud;
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

THexFile::THexFile(const std::vector<uint8_t>& image)
    : path_((std::filesystem::temp_directory_path() /
             ("bench_update_" + std::to_string(getpid()) + ".hex"))
                .string()) {
    std::ofstream out(path_);
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

THexFile::~THexFile() {
    std::filesystem::remove(path_);
}

std::string ProgramDirectory() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

double CpuSeconds(const rusage& usage) {
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TChild::TChild(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
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

TChild::~TChild() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
        close(output_);
    }
}

std::optional<std::string> TChild::ReadLine() {
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

int TChild::Wait(rusage& usage) {
    int status = 0;
    usage = {};
    if (pid_ <= 0 || wait4(pid_, &status, 0, &usage) != pid_) {
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TSimulator::TSimulator(int baud)
    : child_({ProgramDirectory() + "/brinomar-devsim", "--pace", std::to_string(baud), "--stats"}),
      path_(child_.Started() ? child_.ReadLine() : std::nullopt) {}

std::optional<double> TSimulator::ReplyMedianUs() {
    static const std::string kMedian = "came a median ";
    while (std::optional<std::string> line = child_.ReadLine()) {
        const size_t at = line->find(kMedian);
        if (line->rfind("stats:", 0) == 0 && at != std::string::npos) {
            return std::strtod(line->c_str() + at + kMedian.size(), nullptr);
        }
    }
    return std::nullopt;
}

} // namespace bench
