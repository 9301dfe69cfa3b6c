// Operating-system error numbers as the library sees them. The library speaks the platform
// error codes it already knows (2 file or device not found, 3 path not found, 5 access denied /
// held elsewhere, 8 insufficient memory, 101 disk full, ...); the Linux layer translates errno
// into them, and gives the codes it cannot translate a message of its own.
#pragma once

#include <string>

namespace kivo {

// Platform codes with a meaning of their own on this platform.
constexpr int kPlatformFileNotFound = 2;
constexpr int kPlatformPathNotFound = 3;
constexpr int kPlatformAccessDenied = 5; // a file that may not be written, a port held elsewhere
constexpr int kPlatformNotEnoughMemory = 8;
constexpr int kPlatformNoPermission = 13;    // the user may not open the device at all
constexpr int kPlatformInvalidArgument = 87; // a value out of range, a setting a device refused
constexpr int kPlatformDiskFull = 101;
constexpr int kPlatformWriteProtected = 150;
constexpr int kPlatformWriteFault = 160;
constexpr int kPlatformReadFault = 161;
constexpr int kPlatformGeneralFailure = 162;

// errno of a failed file operation -> platform code (an unknown errno passes unchanged).
int PlatformErrorFromErrno(int err);

// The system's message text for a platform code; empty when there is none.
std::string OsErrorText(int platformCode);

// "Operating System : " text of the dispatch-log header, at most 80 characters.
std::string OsDescription();

// Name and version of the tool-chain that built the library.
std::string CompilerDescription();

} // namespace kivo
