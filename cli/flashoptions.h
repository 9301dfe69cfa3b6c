// The command line of brinomar-flash: which action to take and on what. Options are described by
// a table of rules so that each new option is one rule and one field here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brinomar {

constexpr int ExitSuccess = 0;
constexpr int ExitFileUnusable = 4;  // the HEX file cannot be read
constexpr int ExitUsage = 64;        // the command line is wrong
constexpr int ExitOutputFailed = 74; // what was asked for could not be written out

enum class TFlashMode : uint8_t {
    fmNone,    // no action chosen: a usage error
    fmHelp,    // --help: explain the options
    fmListing, // --listing FILE: list the image the file gives
};

struct TFlashOptions {
    TFlashMode Mode = TFlashMode::fmNone;
    std::string HexFile;
};

struct TParsedArguments {
    TFlashOptions Options;
    std::string Error; // empty when the command line is usable

    bool Ok() const { return Error.empty(); }
};

// Reads the arguments that follow the program name. Options may be given as "--name value" or
// "--name=value" where they take one; "--" ends the options.
TParsedArguments ParseFlashArguments(const std::vector<std::string>& args);

// The text of --help.
std::string FlashUsage();

} // namespace brinomar
