// The command line of brinomar-flash: which action to take and on what. Options are described by
// a table of rules so that each new option is one rule and one field here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brinomar {

// Exit statuses. An update ends with the status of its last log line.
constexpr int ExitSuccess = 0;       // "CheckSum OK", or any other action that worked
constexpr int ExitCheckSumError = 1; // "CheckSum Error"
constexpr int ExitSectorError = 2;   // "Sector NNN ERROR"
constexpr int ExitNoConnection = 3;  // "TimeOut, no connection"
constexpr int ExitFileUnusable = 4;  // the HEX file or the port cannot be used
constexpr int ExitUsage = 64;        // the command line is wrong
constexpr int ExitOutputFailed = 74; // what was asked for could not be written out
constexpr int ExitInterrupted = 130; // SIGINT, SIGTERM or SIGHUP ended the update

enum class TFlashMode : uint8_t {
    fmUpdate,    // FILE: update the device with the file
    fmHelp,      // --help: explain the options
    fmVersion,   // --version: name the program's version
    fmListing,   // --listing FILE: list the image the file gives
    fmListPorts, // --list-ports: the serial ports of the machine
};

enum class TProgressMode : uint8_t {
    pmAuto, // a progress bar when standard error is a terminal
    pmOn,
    pmOff,
};

// The port of --port: a port number, or a device path to be given a free number.
struct TPortChoice {
    int Number = 0; // 0: the path names the device
    std::string Path;
};

struct TFlashOptions {
    TFlashMode Mode = TFlashMode::fmUpdate;
    std::string HexFile;
    std::optional<TPortChoice> Port;      // none: the port selection asks
    int32_t Baud = 0;                     // 0: the updater's own 9600
    std::optional<std::string> TraceFile; // tracing on, the trace written there on closing
    std::optional<std::string> LogFile;   // dispatch logging on, likewise
    TProgressMode Progress = TProgressMode::pmAuto;
};

struct TParsedArguments {
    TFlashOptions Options;
    std::string Error; // empty when the command line is usable

    bool Ok() const { return Error.empty(); }
};

// Reads the arguments that follow the program name. Options that need a value take it as
// "--name value" or "--name=value", options with an optional value only as "--name=value";
// "--" ends the options.
TParsedArguments ParseFlashArguments(const std::vector<std::string>& args);

// "COM3", "3" or a device path; none for a port number out of 1 ... 255 or a malformed one.
std::optional<TPortChoice> ParsePortChoice(const std::string& text);

// The text of --help.
std::string FlashUsage();

} // namespace brinomar
