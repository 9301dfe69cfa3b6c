// Unit Kvport, trigger events: the hidden window through which the dispatcher's notifications
// reach the component on the main thread, the ten trigger events they raise, and the wrappers
// that create, arm and remove triggers.
#include "comm/port/kvport.h"

#include <algorithm>
#include <cstdint>

#include "comm/errors/kvexcept.h"

namespace kivo {

namespace {

// A handle from the dispatcher, or 0 when it reported a failure (only while loading does a
// failure come back instead of being raised).
uint16_t HandleFromResult(int32_t result) {
    return result > 0 ? static_cast<uint16_t>(result) : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The hidden window

void TKvdCustomComPort::RegisterComPort(bool enabling) {
    if (!enabling) {
        if (dispatcher_ != nullptr && triggerWindow_ != 0) {
            dispatcher_->DeregisterWndTriggerHandler(triggerWindow_);
        }
        if (triggerWindow_ != 0) {
            DestroyWindow(triggerWindow_);
            triggerWindow_ = 0;
        }
        return;
    }
    RegisterKwComWindowClass();
    triggerWindow_ = CreateWindow(KwComWindowClassName);
    if (triggerWindow_ == 0) {
        CheckException(this, ecRegisterHandlerFailed);
        return;
    }
    dispatcher_->RegisterWndTriggerHandler(triggerWindow_);
}

bool TKvdCustomComPort::AnyTriggerEventAssigned() const {
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
           onTriggerOutbuffUsed_ || onTriggerOutSent_;
}

// The component's window is served only while somebody listens to one of its events.
void TKvdCustomComPort::UpdateHandlerFlag() {
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->UpdateHandlerFlags(AnyTriggerEventAssigned() ? fuEnablePort : fuDisablePort);
    }
}

// ---------------------------------------------------------------------------------------------
// Event properties

void TKvdCustomComPort::SetOnTrigger(TTriggerEvent value) {
    onTrigger_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent value) {
    onTriggerAvail_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerData(TTriggerDataEvent value) {
    onTriggerData_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent value) {
    onTriggerStatus_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent value) {
    onTriggerTimer_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent value) {
    onTriggerLineError_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerModemStatus(TNotifyEvent value) {
    onTriggerModemStatus_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent value) {
    onTriggerOutbuffFree_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent value) {
    onTriggerOutbuffUsed_ = value;
    UpdateHandlerFlag();
}

void TKvdCustomComPort::SetOnTriggerOutSent(TNotifyEvent value) {
    onTriggerOutSent_ = value;
    UpdateHandlerFlag();
}

// ---------------------------------------------------------------------------------------------
// Trigger methods: each raises its event when assigned

void TKvdCustomComPort::Trigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) {
    if (onTrigger_) {
        onTrigger_(this, msg, triggerHandle, data);
    }
}

void TKvdCustomComPort::TriggerAvail(uint16_t count) {
    if (onTriggerAvail_) {
        onTriggerAvail_(this, count);
    }
}

void TKvdCustomComPort::TriggerData(uint16_t triggerHandle) {
    if (onTriggerData_) {
        onTriggerData_(this, triggerHandle);
    }
}

void TKvdCustomComPort::TriggerStatus(uint16_t triggerHandle) {
    if (onTriggerStatus_) {
        onTriggerStatus_(this, triggerHandle);
    }
}

void TKvdCustomComPort::TriggerTimer(uint16_t triggerHandle) {
    if (onTriggerTimer_) {
        onTriggerTimer_(this, triggerHandle);
    }
}

void TKvdCustomComPort::TriggerLineError(uint16_t error, bool lineBreak) {
    if (onTriggerLineError_) {
        onTriggerLineError_(this, error, lineBreak);
    }
}

void TKvdCustomComPort::TriggerModemStatus() {
    if (onTriggerModemStatus_) {
        onTriggerModemStatus_(this);
    }
}

void TKvdCustomComPort::TriggerOutbuffFree() {
    if (onTriggerOutbuffFree_) {
        onTriggerOutbuffFree_(this);
    }
}

void TKvdCustomComPort::TriggerOutbuffUsed() {
    if (onTriggerOutbuffUsed_) {
        onTriggerOutbuffUsed_(this);
    }
}

void TKvdCustomComPort::TriggerOutSent() {
    if (onTriggerOutSent_) {
        onTriggerOutSent_(this);
    }
}

// ---------------------------------------------------------------------------------------------
// Trigger wrappers

uint16_t TKvdCustomComPort::AddDataTrigger(const std::string& data, bool ignoreCase) {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    if (d == nullptr) {
        return 0;
    }
    const auto length = static_cast<uint32_t>(std::min<size_t>(data.size(), UINT32_MAX));
    return HandleFromResult(
        CheckException(this, d->AddDataTriggerLen(data.data(), ignoreCase, length)));
}

uint16_t TKvdCustomComPort::AddTimerTrigger() {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    return d != nullptr ? HandleFromResult(CheckException(this, d->AddTimerTrigger())) : 0;
}

uint16_t TKvdCustomComPort::AddStatusTrigger(uint16_t sType) {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    return d != nullptr ? HandleFromResult(CheckException(this, d->AddStatusTrigger(sType))) : 0;
}

void TKvdCustomComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->SetTimerTrigger(handle, ticks, activate));
    }
}

void TKvdCustomComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->SetStatusTrigger(handle, value, activate));
    }
}

// The length trigger's handle clears the length, as RemoveAllTriggers does: a length kept in
// the property would make setting that length again a change that changes nothing.
void TKvdCustomComPort::RemoveTrigger(uint16_t handle) {
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        CheckException(this, d->RemoveTrigger(handle));
        if (handle == LengthTriggerHandle) {
            triggerLength_ = 0;
        }
    }
}

// The length trigger goes with the others.
void TKvdCustomComPort::RemoveAllTriggers() {
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->RemoveAllTriggers();
        triggerLength_ = 0;
    }
}

// The triggers saved at a close come back after the settings at the next open: a length set
// meanwhile goes into them, or that open would bring back the old one.
void TKvdCustomComPort::SetTriggerLength(uint16_t value) {
    if (value == triggerLength_ && !forceApply_) {
        return;
    }
    triggerLength_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->ChangeLengthTrigger(value);
    } else if (triggersSaved_) {
        savedTriggers_.availThreshold = value;
    }
}

} // namespace kivo
