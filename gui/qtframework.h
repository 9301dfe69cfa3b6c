// The library's framework on top of Qt, for the life of one object on the GUI thread: Qt's
// event loop pumps the window-message layer (and the layer's waits run Qt's loop), exceptions
// that reach an event handler and the plain message box are shown as message boxes, and the
// port selection is put to the user as a dialog. While a TStopSignals lives, stop signals end the
// application as closing its windows does.
#pragma once

#include "comm/platform/framework.h"
#include "comm/platform/winmsg.h"
#include "comm/port/kvselcom.h"

#include <QSocketNotifier>

#include <signal.h>

#include <array>
#include <atomic>
#include <memory>

namespace brinomar {

// The window-message layer's host loop for the GUI thread.
class TQtHostLoop : public kivo::THostLoop {
public:
    TQtHostLoop();

    // From any thread: queues one pass over the layer's messages on the GUI thread. Wakes that
    // come while a pass is queued join it.
    void Wake() override;
    void RunOnce() override;
    void WaitForEvents(uint32_t timeoutMs) override;

private:
    std::shared_ptr<std::atomic<bool>> passQueued_;
};

// Handles every message waiting for the GUI thread in the window-message layer.
void PumpWindowMessages();

class TQtFramework {
public:
    TQtFramework();
    ~TQtFramework();
    TQtFramework(const TQtFramework&) = delete;
    TQtFramework& operator=(const TQtFramework&) = delete;

private:
    kivo::ExceptionDisplay previousDisplay_;
    kivo::MessageBoxHandler previousMessageBox_;
    std::shared_ptr<kivo::IComSelectPresenter> previousPresenter_;
};

// While it lives, SIGINT, SIGTERM and SIGHUP (the terminal that started the program was closed)
// end the application as closing its windows does, instead of the process: the application is
// terminating at once, so a run stops at its next wait without sending more, and the event loop
// closes the windows. A hang-up the program was started to ignore stays ignored. At its end the
// signals are handled as they were before.
class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // True once one of the signals has come.
    bool Caught() const;

private:
    std::array<struct sigaction, 3> previous_{};
    QSocketNotifier notifier_;
};

// Runs `handler` the way the framework runs an event handler: an exception that escapes it is
// shown in the standard exception display, and the event loop goes on.
template <typename Handler>
void RunHandler(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        kivo::ShowException(e);
    }
}

} // namespace brinomar
