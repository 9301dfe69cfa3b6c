#include "comm/platform/textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "comm/platform/framework.h"
#include "comm/platform/oserror.h"

namespace kivo {

namespace {

constexpr size_t kPieceSize = 64 * 1024;

} // namespace

TTextFile::~TTextFile() {
    Close();
}

int TTextFile::Open(const char* fileName, bool append) {
    Close();
    error_ = 0;
    if (fileName == nullptr) {
        return kPlatformFileNotFound;
    }
    const int mode = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    // The open of a named pipe waits for its reader, and a signal the program catches ends that
    // wait without a reader having come. A program asked to stop (Ctrl-C, a logout) gives up the
    // wait at the next signal instead of waiting on for a reader that may never come.
    do {
        fd_ = ::open(fileName, mode, 0666);
    } while (fd_ < 0 && errno == EINTR && !ApplicationTerminating());
    return fd_ < 0 ? PlatformErrorFromErrno(errno) : 0;
}

void TTextFile::Write(std::string_view text) {
    pending_ += text;
    if (pending_.size() >= kPieceSize) {
        WritePending();
    }
}

void TTextFile::WritePending() {
    std::string_view text = pending_;
    while (fd_ >= 0 && error_ == 0 && !text.empty()) {
        const ssize_t written = ::write(fd_, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error_ = PlatformErrorFromErrno(written < 0 ? errno : EIO);
        } else {
            text.remove_prefix(static_cast<size_t>(written));
        }
    }
    pending_.clear();
}

int TTextFile::Close() {
    if (fd_ < 0) {
        return error_;
    }
    WritePending();
    // The descriptor is gone after close() whatever it reports, so it is never retried.
    if (::close(fd_) != 0 && error_ == 0) {
        error_ = PlatformErrorFromErrno(errno);
    }
    fd_ = -1;
    return error_;
}

} // namespace kivo
