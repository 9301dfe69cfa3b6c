#include "comm/platform/textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "comm/platform/oserror.h"

namespace kivo {

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
    fd_ = ::open(fileName, mode, 0666);
    return fd_ < 0 ? PlatformErrorFromErrno(errno) : 0;
}

void TTextFile::Write(std::string_view text) {
    if (fd_ < 0 || error_ != 0) {
        return;
    }
    while (!text.empty()) {
        const ssize_t written = ::write(fd_, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error_ = PlatformErrorFromErrno(written < 0 ? errno : EIO);
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

int TTextFile::Close() {
    if (fd_ < 0) {
        return error_;
    }
    // The descriptor is gone after close() whatever it reports, so it is never retried.
    if (::close(fd_) != 0 && error_ == 0) {
        error_ = PlatformErrorFromErrno(errno);
    }
    fd_ = -1;
    return error_;
}

} // namespace kivo
