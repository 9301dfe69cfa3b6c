// Command line of the device simulator.
#include "tools/devsim/devsim_options.h"

#include <charconv>

namespace brinomar {

namespace {

constexpr int kFirstBlock = 4;
constexpr int kLastBlock = 493;

bool ParseNumber(const std::string& text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && value >= low && value <= high;
}

// Blocks 4 to `last`: the last block is answered with the checksum, not acknowledged, so the
// acknowledgement faults stop one block earlier.
bool ParseBlock(const std::string& text, int last, int& block) {
    long long value = 0;
    if (!ParseNumber(text, kFirstBlock, last, value)) {
        return false;
    }
    block = static_cast<int>(value);
    return true;
}

// MS or MS@N.
bool ParseLateAck(const std::string& text, TDevsimOptions& options) {
    const size_t at = text.find('@');
    long long ms = 0;
    if (!ParseNumber(text.substr(0, at), 0, 600000, ms)) {
        return false;
    }
    options.lateAckMs = static_cast<int>(ms);
    options.lateAckBlock = 0; // a later --late-ack without @N applies to every block again
    return at == std::string::npos ||
           ParseBlock(text.substr(at + 1), kLastBlock - 1, options.lateAckBlock);
}

bool TakeFlag(const std::string& arg, TDevsimOptions& options) {
    struct Flag {
        const char* name;
        bool TDevsimOptions::*field;
    };
    static const Flag kFlags[] = {
        {"--once", &TDevsimOptions::once},
        {"--silent", &TDevsimOptions::silent},
        {"--lower-case", &TDevsimOptions::lowerCase},
        {"--noise", &TDevsimOptions::noise},
        {"--surplus-ok", &TDevsimOptions::surplusOk},
        {"--wrong-checksum", &TDevsimOptions::wrongChecksum},
        {"--stats", &TDevsimOptions::stats},
        {"--verbose", &TDevsimOptions::verbose},
        {"-v", &TDevsimOptions::verbose},
        {"--help", &TDevsimOptions::help},
        {"-h", &TDevsimOptions::help},
        {"--version", &TDevsimOptions::version},
    };
    for (const Flag& flag : kFlags) {
        if (arg == flag.name) {
            options.*flag.field = true;
            return true;
        }
    }
    return false;
}

// An option with a value; false when `value` does not suit it.
bool TakeValue(const std::string& name, const std::string& value, TDevsimOptions& options) {
    long long number = 0;
    if (name == "--link") {
        options.linkPath = value;
        return !value.empty();
    }
    if (name == "--save") {
        options.savePath = value;
        return !value.empty();
    }
    if (name == "--pace") {
        const bool ok = ParseNumber(value, 50, 20000000, number);
        options.paceBaud = static_cast<uint32_t>(number);
        return ok;
    }
    if (name == "--no-ack-after") {
        return ParseBlock(value, kLastBlock - 1, options.noAckAfter);
    }
    if (name == "--hangup-after") {
        return ParseBlock(value, kLastBlock, options.hangUpAfter);
    }
    return name == "--late-ack" && ParseLateAck(value, options);
}

bool TakesValue(const std::string& name) {
    for (const char* option :
         {"--link", "--save", "--pace", "--no-ack-after", "--hangup-after", "--late-ack"}) {
        if (name == option) {
            return true;
        }
    }
    return false;
}

} // namespace

bool ParseDevsimOptions(const std::vector<std::string>& args, TDevsimOptions& options,
                        std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        const size_t equals = name.find('=');
        const bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (!inlineValue && TakeFlag(name, options)) {
            continue;
        }
        if (!TakesValue(name)) {
            error = "unknown option " + args[i];
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!TakeValue(name, value, options)) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    return true;
}

const char* DevsimUsage() {
    return R"(Usage: brinomar-devsim [OPTION]...
Plays the Brinomar device on a pseudo-terminal. The first line written to standard output is
the device path for the updater to open (brinomar-flash --port PATH).

The device answers each greeting "US" with "OK", takes the start byte "O" and then 490 blocks
of 128 bytes, acknowledges every block but the last with "K", and returns the sum modulo 256
of the 62,720 image bytes after the last one. Blocks are numbered as the updater numbers
them: block N holds image positions N*128 to N*128+127, so the first is 4 and the last 493.
A pause of more than 0.5 s in the middle of an update (the updater gave up) makes the device
wait for a greeting again, and so does a program opening the line (brinomar-flash empties the
line's queues when it opens it); "US" inside the image data is data, not a greeting.

Options:
  --link PATH          also make PATH a symbolic link to the device (removed at the end);
                       a link that a killed simulator left there is replaced, anything
                       else at PATH is refused
  --save FILE          write the image bytes received to FILE when an update ends: 62,720
                       bytes (positions 0x200-0xF6FF) after a complete one, fewer after one
                       that broke off
  --once               exit when one update has ended (checksum sent, or broken off, also
                       before the image when the host gave up greeting) and the line has
                       been quiet for 0.5 s since
  --pace BAUD          take and answer bytes no faster than a line at BAUD (8N1, ten bits
                       a byte) would carry them; BAUD from 50 to 20000000
  --stats              after each update, print on standard output how soon the host's
                       next bytes came after each answer, and how late the answers left
                       (medians and 90th percentiles, in microseconds)
  -v, --verbose        report greetings, blocks and checksums on standard error, and at
                       the end the number of greetings and of image bytes received
  -h, --help           show this text
  --version            show the program's version

Faults:
  --silent             never answer
  --lower-case         answer "ok" and "k"
  --noise              send a few unrelated bytes before every answer
  --surplus-ok         answer a greeting with "OK" twice
  --no-ack-after N     leave out the acknowledgement of block N (4 to 492: block 493 is
                       answered with the checksum)
  --late-ack MS[@N]    send acknowledgements MS (up to 600000) milliseconds late (only
                       block N's with @N, N from 4 to 492)
  --wrong-checksum     return a checksum one higher than the sum
  --hangup-after N     close the line after receiving block N (4 to 493), and end

SIGINT, SIGTERM or SIGHUP ends the simulator (an update in progress is saved first, the link
removed). It exits with 0,
1 when the pseudo-terminal or the link could not be made, its path could not be written on
standard output without --link, or an image could not be saved (a --save FILE that cannot be
written is refused at the start), 64 for a usage mistake.
)";
}

} // namespace brinomar
