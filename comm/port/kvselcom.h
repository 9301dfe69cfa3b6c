// Unit Kvselcom: which serial ports exist, and the choice of a port when none is configured.
//
// TComSelectForm is the selection's model: it lists the available ports 1 to 50 and reports
// the chosen one. How the choice is put to the user is a replaceable presenter: the Qt window
// installs a dialog, the command line a terminal prompt; without a presenter the choice is
// declined.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace kivo {

// Process-wide settings, both true from the start.
extern bool UseDispatcherForAvail; // test a port by opening it with a temporary dispatcher
extern bool ShowPortsInUse;        // a port held elsewhere or not ours to open counts as available

// True when port n exists (n = 0: false, without touching any device).
bool IsPortAvailable(uint32_t n);

enum TModalResult : uint8_t { mrNone, mrOk, mrCancel, mrAbort };

struct TComSelectEntry {
    std::string Text; // "COM%d", what the list shows first
    uint32_t Number = 0;
    std::string Path;        // the device behind the number
    std::string Description; // for example the USB adapter's product name
};

class TComSelectForm;

// Shows the selection to the user and returns mrOk with the form's ItemIndex set to the choice,
// or another result when the user declines.
class IComSelectPresenter {
public:
    virtual ~IComSelectPresenter() = default;
    virtual TModalResult ShowModal(TComSelectForm& form) = 0;
};

// Installs the presenter used by every selection; null removes it. Returns the previous one.
std::shared_ptr<IComSelectPresenter>
SetComSelectPresenter(std::shared_ptr<IComSelectPresenter> presenter);

// A presenter for programs without a window: lists the ports on `out` and reads the chosen
// port number from `in` (an empty line takes the first port). It declines at once when
// `interactive` is false, that is when no person is there to answer.
std::shared_ptr<IComSelectPresenter>
NewTerminalComSelectPresenter(std::istream& in, std::ostream& out, bool interactive);
// The same on standard input and standard error, interactive when standard input is a terminal.
std::shared_ptr<IComSelectPresenter> NewTerminalComSelectPresenter();

class TComSelectForm {
public:
    static constexpr const char* Caption = "Select Port";
    static constexpr const char* Label1Text = "The configured serial port is not valid.";
    static constexpr const char* Label2Text = "Please choose another port.";
    static constexpr uint32_t HighestPort = 50;

    TComSelectForm();  // runs FormCreate
    void FormCreate(); // lists the available ports, selects the first

    const std::vector<TComSelectEntry>& Entries() const { return entries_; }
    int ItemIndex() const { return itemIndex_; } // -1: nothing selected
    void SetItemIndex(int index);

    std::string SelectedCom() const; // the selected entry's text; empty when none
    int32_t SelectedComNum() const;  // the number after "COM"; 0 when none

    // Puts the selection to the user through the installed presenter (mrAbort without one).
    TModalResult ShowModal();

private:
    std::vector<TComSelectEntry> entries_;
    int itemIndex_ = -1;
};

} // namespace kivo
