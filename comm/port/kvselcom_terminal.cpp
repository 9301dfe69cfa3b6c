// Unit Kvselcom, the port selection on a terminal, for programs without a window.
#include "comm/port/kvselcom.h"

#include <charconv>
#include <functional>
#include <iostream>
#include <string>
#include <utility>

#include "comm/platform/console.h"
#include "comm/platform/portmap.h"

namespace kivo {

namespace {

std::string Trimmed(const std::string& line) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = line.find_last_not_of(" \t\r");
    return line.substr(first, last - first + 1);
}

// "5", or "COM5" in any case, as the number 5; 0 when the answer is no number.
uint32_t AnsweredNumber(std::string answer) {
    if (StartsWithCom(answer)) {
        answer.erase(0, 3);
    }
    uint32_t number = 0;
    const char* end = answer.data() + answer.size();
    const auto [stop, error] = std::from_chars(answer.data(), end, number);
    return error == std::errc() && stop == end ? number : 0;
}

int EntryIndex(const TComSelectForm& form, uint32_t number) {
    const auto& entries = form.Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].Number == number) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class TTerminalComSelectPresenter : public IComSelectPresenter {
public:
    // `readLine` takes the next answer; false when there is none.
    TTerminalComSelectPresenter(std::function<bool(std::string&)> readLine, std::ostream& out,
                                bool interactive)
        : readLine_(std::move(readLine)), out_(out), interactive_(interactive) {}

    TModalResult ShowModal(TComSelectForm& form) override {
        if (!interactive_) {
            return mrAbort;
        }
        out_ << TComSelectForm::Caption << '\n'
             << TComSelectForm::Label1Text << ' ' << TComSelectForm::Label2Text << '\n';
        if (form.Entries().empty()) {
            out_ << "No serial ports found.\n";
            return mrAbort;
        }
        ListEntries(form);
        return AskForPort(form);
    }

private:
    // A path or a USB adapter's product name may hold any bytes; only printable ones reach the
    // terminal.
    void ListEntries(const TComSelectForm& form) {
        for (const TComSelectEntry& entry : form.Entries()) {
            out_ << "  " << entry.Text << "  " << PrintableText(entry.Path);
            if (!entry.Description.empty()) {
                out_ << "  (" << PrintableText(entry.Description) << ')';
            }
            out_ << '\n';
        }
    }

    // Asks until the answer names a listed port, the user cancels, or the input ends.
    TModalResult AskForPort(TComSelectForm& form) {
        const std::string firstPort = form.Entries().front().Text;
        std::string line;
        for (;;) {
            out_ << "Port number (Enter for " << firstPort << ", 0 to cancel): " << std::flush;
            if (!readLine_(line)) {
                out_ << '\n';
                return mrAbort;
            }
            const std::string answer = Trimmed(line);
            if (answer.empty()) {
                form.SetItemIndex(0);
                return mrOk;
            }
            if (answer == "0") {
                return mrCancel;
            }
            const uint32_t number = AnsweredNumber(answer);
            const int index = EntryIndex(form, number);
            if (index >= 0) {
                form.SetItemIndex(index);
                return mrOk;
            }
            out_ << PrintableText(answer) << " is not one of the listed ports.\n";
        }
    }

    const std::function<bool(std::string&)> readLine_;
    std::ostream& out_;
    const bool interactive_;
};

} // namespace

std::shared_ptr<IComSelectPresenter>
NewTerminalComSelectPresenter(std::istream& in, std::ostream& out, bool interactive) {
    return std::make_shared<TTerminalComSelectPresenter>(
        [&in](std::string& line) { return static_cast<bool>(std::getline(in, line)); }, out,
        interactive);
}

// The answer is read from the descriptor itself: Ctrl-C coming just before the read still ends
// the prompt, and no answer typed ahead waits unseen in the stream's buffer.
std::shared_ptr<IComSelectPresenter> NewTerminalComSelectPresenter() {
    return std::make_shared<TTerminalComSelectPresenter>(ReadStandardInputLine, std::cerr,
                                                         StandardInputIsTerminal());
}

} // namespace kivo
