// Helpers of the port component tests: a port component whose internals a test may look at, a
// line with a device at its far end (the in-memory device layer, or a pseudo-terminal with the
// dispatcher's real threads), and a message pump that waits for a condition.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "comm/platform/pty.h"
#include "comm/port/kvport.h"
#include "comm/port/kvselcom.h"
#include "tests/fakes/fake_device.h"

namespace kivo::testing {

// The port component with its protected state in reach.
class TTestPort : public TKvdComPort {
public:
    using TKvdComPort::TKvdComPort;
    TKvdBaseDispatcher* CurrentDispatcher() const { return dispatcher_; }
    TFakeDispatcher* Fake() const { return dynamic_cast<TFakeDispatcher*>(dispatcher_); }
    bool OpenPending() const { return openPending_; }
    bool ReopenPending() const { return reopenPending_; }
    bool TriggersSaved() const { return triggersSaved_; }
    size_t UserCount() const { return userList_.size(); }
};

// ActivationProc for the in-memory device layer. Every dispatcher it creates counts in
// FakesCreated; the next one fails to open with NextFakeOpenFailure when that is non-zero.
TKvdBaseDispatcher* ActivateFake(TKvdCustomComPort* cp);
extern int FakesCreated;
extern int NextFakeOpenFailure;

// Runs the calling thread's messages until `done` holds or `timeoutMs` has passed; true when
// it holds. While the port is open its dispatcher wakes the pump when input arrives.
bool PumpUntil(TTestPort& port, const std::function<bool()>& done, uint32_t timeoutMs = 3000);

enum class TLineKind { Fake, Pty };
std::string LineKindName(TLineKind kind);

// A port component on one end of a line, and the device at the other end.
class TPortLine {
public:
    explicit TPortLine(TLineKind kind);
    ~TPortLine();
    TPortLine(const TPortLine&) = delete;
    TPortLine& operator=(const TPortLine&) = delete;

    // Opens the port on the line (9600 8N1).
    void Open();
    // The device sends; on return the bytes are in the port's input.
    void Feed(const std::string& bytes);
    // The device sends; the bytes reach the port's input as the dispatcher takes them in.
    void Send(const std::string& bytes);
    // Lets the dispatcher look at its triggers once as its dispatch thread does, then runs
    // messages until `done` holds.
    bool Deliver(const std::function<bool()>& done);

    TTestPort port;
    const TLineKind kind;
    static constexpr uint16_t PortNumber = 47;

private:
    TPtyPair pty_;
};

// A presenter that answers the port selection as a test tells it to.
class TScriptedPresenter : public IComSelectPresenter {
public:
    TModalResult ShowModal(TComSelectForm& form) override;

    TModalResult answer = mrOk;
    uint32_t choose = 0; // the port number to select; 0 keeps the form's selection
    int shown = 0;
    std::vector<TComSelectEntry> seen;
};

// Installs a presenter for the lifetime of the guard.
class TPresenterGuard {
public:
    explicit TPresenterGuard(std::shared_ptr<IComSelectPresenter> presenter);
    ~TPresenterGuard();
    TPresenterGuard(const TPresenterGuard&) = delete;
    TPresenterGuard& operator=(const TPresenterGuard&) = delete;

private:
    std::shared_ptr<IComSelectPresenter> previous_;
};

} // namespace kivo::testing
