#include "cli/flashoptions.h"

#include <string_view>

namespace brinomar {

namespace {

struct TOptionRule {
    std::string_view Name;
    void (*Apply)(TFlashOptions& options);
};

void ChooseHelp(TFlashOptions& options) {
    options.Mode = TFlashMode::fmHelp;
}

// --help wins over any action, wherever it stands.
void ChooseListing(TFlashOptions& options) {
    if (options.Mode != TFlashMode::fmHelp) {
        options.Mode = TFlashMode::fmListing;
    }
}

constexpr TOptionRule kOptionRules[] = {
    {"--help", ChooseHelp},
    {"-h", ChooseHelp},
    {"--listing", ChooseListing},
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
        for (next_ = 0; next_ < args_.size() && result.Ok();) {
            const std::string& arg = args_[next_++];
            if (optionsEnded || !LooksLikeOption(arg)) {
                files.push_back(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else {
                result.Error = ReadOption(arg, result.Options);
            }
        }
        if (result.Ok()) {
            result.Error = CheckFiles(result.Options, files);
        }
        return result;
    }

private:
    std::string ReadOption(const std::string& arg, TFlashOptions& options) {
        const size_t equals = arg.find('=');
        const std::string_view name = std::string_view(arg).substr(0, equals);
        const TOptionRule* rule = FindRule(name);
        if (rule == nullptr) {
            return "unknown option '" + std::string(name) + "'";
        }
        if (equals != std::string::npos) {
            return "option '" + std::string(name) + "' takes no value";
        }
        rule->Apply(options);
        return {};
    }

    static std::string CheckFiles(TFlashOptions& options, const std::vector<std::string>& files) {
        switch (options.Mode) {
        case TFlashMode::fmHelp:
            return {};
        case TFlashMode::fmListing:
            if (files.size() != 1) {
                return "--listing needs exactly one HEX file";
            }
            options.HexFile = files.front();
            return {};
        case TFlashMode::fmNone:
            break;
        }
        return "no action given: use --listing FILE.hex, or --help";
    }

    const std::vector<std::string>& args_;
    size_t next_ = 0;
};

} // namespace

TParsedArguments ParseFlashArguments(const std::vector<std::string>& args) {
    return TArgumentReader(args).Read();
}

std::string FlashUsage() {
    return "Usage: brinomar-flash --listing FILE.hex\n"
           "       brinomar-flash --help\n"
           "\n"
           "Options:\n"
           "  --listing FILE.hex  load the HEX file into an empty image and print the image\n"
           "                      positions 0000-F6FF, 16 bytes a line; problems found in the\n"
           "                      file go to standard error with their line numbers\n"
           "  -h, --help          show this text\n"
           "\n"
           "Exit status: 0 success, 4 the file cannot be read, 64 wrong command line,\n"
           "74 the listing could not be written.\n";
}

} // namespace brinomar
