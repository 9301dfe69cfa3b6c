#include "cli/flashoptions.h"

#include "comm/platform/portmap.h"

#include <charconv>
#include <cstdint>
#include <string_view>

namespace brinomar {

namespace {

constexpr size_t kLongestFileName = 255;

enum class TValueKind : uint8_t {
    vkNone,     // --name
    vkRequired, // --name VALUE or --name=VALUE
    vkOptional, // --name or --name=VALUE
};

// What the options said so far.
struct TReading {
    TFlashOptions Options;
    bool Help = false;
    bool Version = false;
    std::optional<TFlashMode> Action; // --listing or --list-ports
    std::string FirstUpdateOption;    // the first option that only an update takes
};

using TValue = std::optional<std::string>;

struct TOptionRule {
    std::string_view Name;
    TValueKind Value;
    bool UpdateOnly;
    // Returns what is wrong with the value, or nothing.
    std::string (*Apply)(TReading& reading, const TValue& value);
};

std::optional<int64_t> ParseNumber(std::string_view text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::string ChooseAction(TReading& reading, TFlashMode mode) {
    if (reading.Action && *reading.Action != mode) {
        return "--listing and --list-ports exclude each other";
    }
    reading.Action = mode;
    return {};
}

std::string ApplyHelp(TReading& reading, const TValue&) {
    reading.Help = true;
    return {};
}

std::string ApplyVersion(TReading& reading, const TValue&) {
    reading.Version = true;
    return {};
}

std::string ApplyListing(TReading& reading, const TValue&) {
    return ChooseAction(reading, TFlashMode::fmListing);
}

std::string ApplyListPorts(TReading& reading, const TValue&) {
    return ChooseAction(reading, TFlashMode::fmListPorts);
}

std::string ApplyPort(TReading& reading, const TValue& value) {
    reading.Options.Port = ParsePortChoice(*value);
    if (!reading.Options.Port) {
        return "bad port '" + *value + "': give COMn or a number from 1 to " +
               std::to_string(kivo::kMaxComPort) + ", or a device path";
    }
    return {};
}

std::string ApplyBaud(TReading& reading, const TValue& value) {
    const std::optional<int64_t> baud = ParseNumber(*value);
    if (!baud || *baud <= 0 || *baud > INT32_MAX) {
        return "bad baud rate '" + *value + "'";
    }
    reading.Options.Baud = static_cast<int32_t>(*baud);
    return {};
}

// An empty name keeps the port's own file name. The port keeps no more of a name than its
// first 255 bytes: a longer one would have the file written under another name.
std::string FileOrEmpty(const char* option, const TValue& value, std::optional<std::string>& file) {
    if (value && value->size() > kLongestFileName) {
        return std::string(option) + " file name longer than " + std::to_string(kLongestFileName) +
               " bytes; give a shorter path";
    }
    file = value.value_or(std::string());
    return {};
}

std::string ApplyTrace(TReading& reading, const TValue& value) {
    return FileOrEmpty("--trace", value, reading.Options.TraceFile);
}

std::string ApplyLog(TReading& reading, const TValue& value) {
    return FileOrEmpty("--log", value, reading.Options.LogFile);
}

std::string ApplyProgress(TReading& reading, const TValue&) {
    reading.Options.Progress = TProgressMode::pmOn;
    return {};
}

std::string ApplyNoProgress(TReading& reading, const TValue&) {
    reading.Options.Progress = TProgressMode::pmOff;
    return {};
}

constexpr TOptionRule kOptionRules[] = {
    {"--help", TValueKind::vkNone, false, ApplyHelp},
    {"-h", TValueKind::vkNone, false, ApplyHelp},
    {"--version", TValueKind::vkNone, false, ApplyVersion},
    {"--listing", TValueKind::vkNone, false, ApplyListing},
    {"--list-ports", TValueKind::vkNone, false, ApplyListPorts},
    {"--port", TValueKind::vkRequired, true, ApplyPort},
    {"--baud", TValueKind::vkRequired, true, ApplyBaud},
    {"--trace", TValueKind::vkOptional, true, ApplyTrace},
    {"--log", TValueKind::vkOptional, true, ApplyLog},
    {"--progress", TValueKind::vkNone, true, ApplyProgress},
    {"--no-progress", TValueKind::vkNone, true, ApplyNoProgress},
};

const TOptionRule* FindRule(std::string_view name) {
    for (const TOptionRule& rule : kOptionRules) {
        if (rule.Name == name) {
            return &rule;
        }
    }
    return nullptr;
}

bool LooksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

class TArgumentReader {
public:
    explicit TArgumentReader(const std::vector<std::string>& args) : args_(args) {}

    TParsedArguments Read() {
        TParsedArguments result;
        std::vector<std::string> files;
        bool optionsEnded = false;
        while (next_ < args_.size() && result.Ok()) {
            const std::string& arg = args_[next_++];
            if (optionsEnded || !LooksLikeOption(arg)) {
                files.push_back(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else {
                result.Error = ReadOption(arg);
            }
        }
        if (result.Ok()) {
            result.Error = Conclude(files);
        }
        result.Options = reading_.Options;
        return result;
    }

private:
    std::string ReadOption(const std::string& arg) {
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const TOptionRule* rule = FindRule(name);
        if (rule == nullptr) {
            return "unknown option '" + name + "'";
        }
        TValue value;
        if (equals != std::string::npos) {
            if (rule->Value == TValueKind::vkNone) {
                return "option '" + name + "' takes no value";
            }
            value = arg.substr(equals + 1);
        } else if (rule->Value == TValueKind::vkRequired) {
            if (next_ >= args_.size()) {
                return "option '" + name + "' needs a value";
            }
            value = args_[next_++];
        }
        if (rule->UpdateOnly && reading_.FirstUpdateOption.empty()) {
            reading_.FirstUpdateOption = name;
        }
        return rule->Apply(reading_, value);
    }

    // --help, then --version, wins over any action, wherever it stands.
    std::string Conclude(const std::vector<std::string>& files) {
        TFlashOptions& options = reading_.Options;
        if (reading_.Help || reading_.Version) {
            options.Mode = reading_.Help ? TFlashMode::fmHelp : TFlashMode::fmVersion;
            return {};
        }
        options.Mode = reading_.Action.value_or(TFlashMode::fmUpdate);
        if (options.Mode != TFlashMode::fmUpdate && !reading_.FirstUpdateOption.empty()) {
            return "option '" + reading_.FirstUpdateOption + "' applies only to an update";
        }
        switch (options.Mode) {
        case TFlashMode::fmListPorts:
            return files.empty() ? std::string() : "--list-ports takes no file";
        case TFlashMode::fmListing:
            return TakeOneFile(files, "--listing needs exactly one HEX file");
        case TFlashMode::fmUpdate:
            if (files.empty()) {
                return "no HEX file given: use brinomar-flash FILE.hex, or --help";
            }
            return TakeOneFile(files, "an update takes exactly one HEX file");
        case TFlashMode::fmHelp:
        case TFlashMode::fmVersion:
            break;
        }
        return {};
    }

    std::string TakeOneFile(const std::vector<std::string>& files, const char* error) {
        if (files.size() != 1) {
            return error;
        }
        reading_.Options.HexFile = files.front();
        return {};
    }

    const std::vector<std::string>& args_;
    size_t next_ = 0;
    TReading reading_;
};

} // namespace

std::optional<TPortChoice> ParsePortChoice(const std::string& text) {
    const bool named = kivo::StartsWithCom(text);
    const std::string_view digits = std::string_view(text).substr(named ? 3 : 0);
    const std::optional<int64_t> number = ParseNumber(digits);
    if (number || named) {
        if (!number || *number < 1 || *number > kivo::kMaxComPort) {
            return std::nullopt;
        }
        return TPortChoice{static_cast<int>(*number), {}};
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return TPortChoice{0, text};
}

TParsedArguments ParseFlashArguments(const std::vector<std::string>& args) {
    return TArgumentReader(args).Read();
}

std::string FlashUsage() {
    return "Usage: brinomar-flash [OPTION]... FILE.hex\n"
           "       brinomar-flash --listing FILE.hex\n"
           "       brinomar-flash --list-ports\n"
           "       brinomar-flash --help | --version\n"
           "\n"
           "Updates a Brinomar device with the firmware in FILE.hex: greets the device, sends\n"
           "the image in 490 sectors of 128 bytes and checks the device's checksum. The log\n"
           "lines go to standard output, the progress to standard error.\n"
           "\n"
           "Options:\n"
           "  --port PORT         the device's port: COMn, a port number, or a device path such\n"
           "                      as /dev/ttyUSB0; without it the ports are offered for choice\n"
           "                      when standard input is a terminal\n"
           "  --baud N            the line speed (default 9600), refused when the port's driver\n"
           "                      cannot make it; below 9600 the waits for the device's\n"
           "                      answers grow by the time the slower line needs\n"
           "  --trace[=FILE]      trace the bytes on the line into FILE (default KIVO.TRC)\n"
           "  --log[=FILE]        log the dispatcher's work into FILE (default KIVO.LOG)\n"
           "  --progress          show a progress bar even when standard error is no terminal\n"
           "  --no-progress       show no progress bar\n"
           "  --listing FILE.hex  load the HEX file into an empty image and print the image\n"
           "                      positions 0000-F6FF, 16 bytes a line; problems found in the\n"
           "                      file go to standard error with their line numbers\n"
           "  --list-ports        list the serial ports: name, path, USB vendor:product and\n"
           "                      description\n"
           "  -h, --help          show this text\n"
           "  --version           show the program's version\n"
           "\n"
           "Exit status: 0 checksum OK (or the action worked), 1 checksum error, 2 a sector was\n"
           "not acknowledged, 3 no connection, 4 the file or the port cannot be used (or the\n"
           "file is damaged, or the serial ports could not be looked for), 64 wrong command\n"
           "line, 74 a listing, the port list, this text or the version could not be written,\n"
           "130 interrupted.\n";
}

} // namespace brinomar
