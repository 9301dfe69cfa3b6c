// Unit Kvport, lifecycle: creating the dispatcher, opening and closing the port, the close that
// waits for a running notification or wait, changing the port number, loading from a layout and
// destruction.
#include "comm/port/kvport.h"

#include <exception>

#include "comm/dispatch/kwwin32.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/port/kvselcom.h"

namespace kivo {

namespace {

// Opening a device reports the platform's error negated; the component speaks of ports.
int MapOpenResult(int rc) {
    switch (rc) {
    case -5:
        return ecAlreadyOpen;
    case -2:
    case -3:
        return ecBadId;
    default:
        return rc;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TKvdCustomComPort::TKvdCustomComPort(TComponent* owner) : TKvdBaseComponent(owner) {}

// A close still waiting for its posted message is finished here: the window goes first, so the
// message can no longer reach this component, then the dispatcher (whose destruction stops its
// threads).
TKvdCustomComPort::~TKvdCustomComPort() {
    reopenPending_ = false;
    LetGoOfInheritedPort();
    try {
        if (portState_ == psOpen) {
            DonePort();
        }
    } catch (const std::exception& e) {
        ShowException(e);
    }
    if (portState_ == psShuttingDown) {
        FinishClose();
    }
    userList_.clear();
    TKvdBaseDispatcher::ClearSaveBuffers(savedTriggers_);
}

// ---------------------------------------------------------------------------------------------
// The dispatcher

TKvdBaseDispatcher* TKvdCustomComPort::Dispatcher() {
    if (dispatcher_ == nullptr && !Loading() && !Designing() && portState_ == psClosed &&
        autoOpen_) {
        SetOpen(true);
    }
    return dispatcher_;
}

// In a process forked from the one that opened the port, nothing but the close is done: the
// dispatcher's threads are missing there, and the line, trace and log are the parent's.
TKvdBaseDispatcher* TKvdCustomComPort::ValidDispatcher() {
    TKvdBaseDispatcher* d = Dispatcher();
    if (d != nullptr && d->InheritedFromParent()) {
        d = nullptr;
    }
    if (d == nullptr) {
        CheckException(this, ecNotOpen);
    }
    return d;
}

TKvdBaseDispatcher* TKvdCustomComPort::ActiveDispatcher() {
    return portState_ == psShuttingDown ? nullptr : ValidDispatcher();
}

TKvdBaseDispatcher* TKvdCustomComPort::OpenPortDispatcher() const {
    return portState_ == psOpen && !dispatcher_->InheritedFromParent() ? dispatcher_ : nullptr;
}

TKvdBaseDispatcher* TKvdCustomComPort::ActivateDeviceLayer() {
    if (activationProc_ != nullptr) {
        TKvdBaseDispatcher* d = activationProc_(this);
        if (d == nullptr) {
            CheckException(this, ecNullApi);
        }
        return d;
    }
    if (deviceLayer_ != dlWin32) {
        CheckException(this, ecNullApi);
        return nullptr;
    }
    if (tapiMode_ == tmOn) {
        return new TKvdTAPI32Dispatcher(this, tapiDeviceId_);
    }
    return new TKvdWin32Dispatcher(this);
}

// ---------------------------------------------------------------------------------------------
// Opening

void TKvdCustomComPort::SetOpen(bool value) {
    if (value == open_) {
        if (!value && portState_ == psShuttingDown) {
            // Asking for closed again takes back a reopen requested since the close began.
            reopenPending_ = false;
        }
        return;
    }
    if (Loading() || Designing()) {
        open_ = value;
        openPending_ = value;
        return;
    }
    if (!value) {
        DonePort();
    } else if (portState_ == psClosed) {
        InitPort();
    } else if (portState_ == psShuttingDown) {
        reopenPending_ = true;
    }
}

void TKvdCustomComPort::ForcePortOpen() {
    if (autoOpen_) {
        openPending_ = true;
    }
}

void TKvdCustomComPort::ValidateComport() {
    if (comNumber_ != 0) {
        return;
    }
    if (!promptForPort_) {
        CheckException(this, ecNoPortSelected);
        return;
    }
    TComSelectForm form;
    const int32_t chosen = form.ShowModal() == mrOk ? form.SelectedComNum() : 0;
    if (chosen <= 0 || chosen > UINT16_MAX) {
        CheckException(this, ecNoPortSelected);
        return;
    }
    comNumber_ = static_cast<uint16_t>(chosen);
}

// Only a closed port opens: a second dispatcher would orphan the first with its device. The
// port selection runs a modal loop, whose handlers may have opened the port meanwhile.
void TKvdCustomComPort::InitPort() {
    if (portState_ != psClosed) {
        return;
    }
    if (tapiMode_ != tmOn) {
        ValidateComport();
        if (portState_ != psClosed) {
            return;
        }
    }
    dispatcher_ = ActivateDeviceLayer();
    if (dispatcher_ == nullptr) {
        return;
    }
    ++dispatcherGeneration_;
    const bool triggersWereSaved = triggersSaved_;
    try {
        // The telephony dispatcher opens the device it was handed only in InitPort, so the
        // handle the component passed on is what must exist.
        if (tapiMode_ == tmOn && tapiDeviceId_ == 0) {
            CheckException(this, ecNotOpenedByTapi);
        }
        const int rc = MapOpenResult(InitializePort());
        if (rc != 0) {
            CheckException(this, rc);
            // Only while loading does a failure come back as a code.
            AbandonOpen(triggersWereSaved);
            return;
        }
        portState_ = psOpen;
        UpdateHandlerFlag();
        ApplySettings();
        open_ = true;
        RegisterComPort(true);
        if (triggersSaved_) {
            triggersSaved_ = false;
            dispatcher_->RestoreTriggers(savedTriggers_);
        }
        PortOpen();
    } catch (...) {
        AbandonOpen(triggersWereSaved);
        throw;
    }
}

// A failed open leaves nothing behind but the triggers of an earlier close.
void TKvdCustomComPort::AbandonOpen(bool triggersWereSaved) {
    if (triggerWindow_ != 0) {
        RegisterComPort(false);
    }
    delete dispatcher_;
    dispatcher_ = nullptr;
    portState_ = psClosed;
    open_ = false;
    triggersSaved_ = triggersWereSaved;
}

// ---------------------------------------------------------------------------------------------
// Closing

// A trace or log that cannot be written, or a user that raises on the close notice, must not
// leave the port half closed: the close is completed first and the failure raised afterwards.
void TKvdCustomComPort::DonePort() {
    open_ = false;
    LetGoOfInheritedPort();
    if (portState_ != psOpen) {
        return;
    }
    std::exception_ptr failure;
    try {
        SetTracing(tlDump);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        SetLogging(tlDump);
    } catch (...) {
        failure = failure ? failure : std::current_exception();
    }
    portState_ = psShuttingDown;
    try {
        PortClose();
    } catch (...) {
        failure = failure ? failure : std::current_exception();
    }
    CloseDispatcher();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// A process forked from the one that opened the port has the component's copy but neither the
// dispatcher's threads nor the line, trace and log, which stay the parent's: closing it there
// only lets go of the child's descriptors. Nothing is flushed, written, told or waited for, and
// the dispatcher is left alone, as the threads that did not come along may hold its locks.
void TKvdCustomComPort::LetGoOfInheritedPort() {
    if (dispatcher_ == nullptr || !dispatcher_->InheritedFromParent()) {
        return;
    }
    dispatcher_->DonePort(); // lets go of the child's copy of the device and of nothing else
    dispatcher_ = nullptr;
    if (triggerWindow_ != 0) {
        DestroyWindow(triggerWindow_);
        triggerWindow_ = 0;
    }
    waitPrepared_ = false;
    waitSavedBusy_ = false;
    portState_ = psClosed;
    open_ = false;
}

// Saves the triggers and closes the device. A notification or a wait that is running still
// uses the dispatcher, so then the rest of the close is left to msgDeferredClose.
void TKvdCustomComPort::CloseDispatcher() {
    dispatcher_->SaveTriggers(savedTriggers_);
    triggersSaved_ = true;
    dispatcher_->DonePort();
    if (dispatcher_->notifyBusy) {
        const auto handle = static_cast<uint32_t>(dispatcher_->portHandle);
        PostMessage(triggerWindow_, msgDeferredClose, 0, static_cast<LPARAM>(handle << 16));
        SafeYield();
        return;
    }
    FinishClose();
    // Only a close that waits for its message reopens the port: an open asked for while this
    // one ran (by a user told of the close) must not linger and reopen after some later close.
    reopenPending_ = false;
}

void TKvdCustomComPort::FinishClose() {
    RegisterComPort(false);
    // Destroying the dispatcher may run pending messages while it waits for its threads; with
    // no dispatcher and the state still shutting down, whatever they call on the port gets its
    // neutral answer.
    TKvdBaseDispatcher* d = dispatcher_;
    dispatcher_ = nullptr;
    delete d;
    waitPrepared_ = false;
    waitSavedBusy_ = false;
    portState_ = psClosed;
}

void TKvdCustomComPort::CompleteDeferredClose() {
    if (portState_ != psShuttingDown) {
        return;
    }
    FinishClose();
    if (reopenPending_) {
        reopenPending_ = false;
        InitPort();
    }
}

// ---------------------------------------------------------------------------------------------
// Changing the port, loading

void TKvdCustomComPort::SetComNumber(uint16_t value) {
    if (value == comNumber_) {
        return;
    }
    if (portState_ != psOpen) {
        comNumber_ = value;
        return;
    }
    // The close saves the triggers and the open restores them before its users are told, so
    // that a trigger a user sets up when the port opens stays as well.
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = value;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
}

void TKvdCustomComPort::Loaded() {
    TKvdBaseComponent::Loaded();
    if (Designing()) {
        return;
    }
    if (openPending_) {
        open_ = true;
    }
    if (!open_) {
        return;
    }
    openPending_ = false;
    try {
        InitPort();
    } catch (const std::exception& e) {
        open_ = false;
        ShowException(e);
    }
}

} // namespace kivo
