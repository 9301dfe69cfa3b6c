#include "tests/fakes/pty_far_end.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

namespace kivo::testing {

void MakeRaw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
}

bool WriteAll(int fd, const void* bytes, size_t count) {
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t put = write(fd, next, count);
        if (put < 0) {
            return false;
        }
        next += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

TPtyFarEnd::TPtyFarEnd() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || pipe(stop_) != 0) {
        return;
    }
    MakeRaw(master_);
    MakeRaw(slave_);
    char name[64];
    if (ttyname_r(slave_, name, sizeof name) != 0) { // ttyname's buffer is shared by all threads
        return;
    }
    path_ = name;
    thread_ = std::thread([this] { Run(); });
}

TPtyFarEnd::~TPtyFarEnd() {
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

void TPtyFarEnd::AcknowledgeBlocks(size_t blockSize, char answer) {
    answer_ = answer;
    blockSize_ = blockSize;
}

void TPtyFarEnd::Run() {
    std::vector<char> buffer(65536);
    size_t blockBytes = 0;
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t got = read(master_, buffer.data(), buffer.size());
        if (got <= 0) {
            continue;
        }
        const size_t blockSize = blockSize_;
        if (blockSize == 0) {
            WriteAll(master_, buffer.data(), static_cast<size_t>(got));
            continue;
        }
        const char answer = answer_;
        for (blockBytes += static_cast<size_t>(got); blockBytes >= blockSize;
             blockBytes -= blockSize) {
            WriteAll(master_, &answer, 1);
        }
    }
}

} // namespace kivo::testing
