#include "comm/platform/oserror.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kivo {

namespace {

struct ErrnoMapping {
    int err;
    int platformCode;
};

constexpr ErrnoMapping kErrnoMappings[] = {
    {ENOENT, kPlatformFileNotFound},
    {ENXIO, kPlatformFileNotFound},
    {ENODEV, kPlatformFileNotFound},
    {ENOTDIR, kPlatformPathNotFound},
    {ENAMETOOLONG, kPlatformPathNotFound},
    {ELOOP, kPlatformPathNotFound},
    {EMFILE, 4},
    {ENFILE, 4},
    {EACCES, kPlatformAccessDenied},
    {EPERM, kPlatformAccessDenied},
    {EBUSY, kPlatformAccessDenied},
    {EISDIR, kPlatformAccessDenied},
    {EBADF, 6},
    {ENOMEM, kPlatformNotEnoughMemory},
    {ENOSPC, kPlatformDiskFull},
    {EDQUOT, kPlatformDiskFull},
    {EFBIG, kPlatformDiskFull},
    {EROFS, kPlatformWriteProtected},
    {EIO, kPlatformWriteFault},
};

// Platform codes that mean something of their own: those with a message in the library's tables,
// and the invalid argument. An errno with one of these numbers but another meaning must not pass
// through unchanged, or the user would read the wrong message (errno 104, connection reset, is
// our "not open for input"; errno 87 is "too many users").
bool IsOwnCode(int code) {
    return (code >= 2 && code <= 6) || code == 8 || code == 15 || code == 18 ||
           code == kPlatformInvalidArgument || (code >= 100 && code <= 105) ||
           (code >= 150 && code <= 162);
}

// The errno whose system text describes one of our own platform codes.
int ErrnoOfPlatformCode(int code) {
    switch (code) {
    case kPlatformFileNotFound:
        return ENOENT;
    case kPlatformPathNotFound:
        return ENOTDIR;
    case 4:
        return EMFILE;
    case kPlatformAccessDenied:
        return EACCES;
    case 6:
        return EBADF;
    case kPlatformNotEnoughMemory:
        return ENOMEM;
    case kPlatformInvalidArgument:
        return EINVAL;
    case kPlatformDiskFull:
        return ENOSPC;
    case kPlatformWriteProtected:
        return EROFS;
    case kPlatformWriteFault:
    case kPlatformReadFault:
    case kPlatformGeneralFailure:
        return EIO;
    default:
        return code;
    }
}

bool IsKnownErrno(int err) {
#if defined(__GLIBC__)
    return strerrorname_np(err) != nullptr;
#else
    return err > 0;
#endif
}

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); both end here.
[[maybe_unused]] const char* ErrorTextOf(const char* gnuResult, const char*) {
    return gnuResult;
}
[[maybe_unused]] const char* ErrorTextOf(int xsiResult, const char* buffer) {
    return xsiResult == 0 ? buffer : "";
}

std::string SystemErrorText(int err) {
    if (!IsKnownErrno(err)) {
        return {};
    }
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(err, buffer, sizeof buffer), buffer);
}

// Opening a serial device the user has no rights to is the commonest first-run problem on a
// desktop, so it gets a text that says what to do rather than the bare system text.
constexpr const char* kNoPermissionText =
    "Permission denied: the device exists, but this user may not open it. Add the user to the "
    "group that owns the device (usually dialout), for example with \"sudo usermod -aG dialout "
    "$USER\", then log out and log in again.";

constexpr size_t kOsDescriptionMax = 80;

} // namespace

int PlatformErrorFromErrno(int err) {
    for (const ErrnoMapping& mapping : kErrnoMappings) {
        if (mapping.err == err) {
            return mapping.platformCode;
        }
    }
    return IsOwnCode(err) ? kPlatformGeneralFailure : err;
}

std::string OsErrorText(int platformCode) {
    if (platformCode == kPlatformNoPermission) {
        return kNoPermissionText;
    }
    if (platformCode <= 0) {
        return {};
    }
    return SystemErrorText(ErrnoOfPlatformCode(platformCode));
}

std::string OsDescription() {
    utsname name{};
    if (uname(&name) != 0) {
        return "Unknown";
    }
    char* rest = nullptr;
    const unsigned long major = std::strtoul(name.release, &rest, 10);
    const unsigned long minor = (*rest == '.') ? std::strtoul(rest + 1, nullptr, 10) : 0;
    std::string text = std::string(name.sysname) + " " + std::to_string(major) + "." +
                       std::to_string(minor) + " " + name.version;
    text.resize(std::min(text.size(), kOsDescriptionMax));
    return text;
}

std::string CompilerDescription() {
#if defined(__clang__)
    std::string text = "clang " __clang_version__;
#elif defined(__GNUC__)
    std::string text = "g++ " __VERSION__;
#elif defined(_MSC_FULL_VER)
    std::string text = "MSVC " + std::to_string(_MSC_FULL_VER);
#else
    std::string text = "unknown C++ compiler";
#endif
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

} // namespace kivo
