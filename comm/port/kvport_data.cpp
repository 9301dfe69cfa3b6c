// Unit Kvport, data operations and status: each forwards to the dispatcher and passes its
// result through CheckException. While a close completes (psShuttingDown) every operation
// gives its neutral value without touching the dispatcher; the status properties other than
// ModemStatus and FlowState never open the port.
#include "comm/port/kvport.h"

#include <algorithm>
#include <cstdint>

#include "comm/errors/kvexcept.h"

namespace kivo {

namespace {

// The dispatcher counts flow states from 1; anything it cannot report reads as off.
TFlowControlState FlowStateFromCode(int code) {
    return code >= 1 && code <= fcXBothHold + 1 ? static_cast<TFlowControlState>(code - 1) : fcOff;
}

uint16_t Clamp16(uint32_t value) {
    return static_cast<uint16_t>(std::min<uint32_t>(value, UINT16_MAX));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Reading

bool TKvdCustomComPort::CharReady() {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    return d != nullptr && d->CharReady();
}

char TKvdCustomComPort::GetChar() {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    if (d == nullptr) {
        return 0;
    }
    char c = 0;
    const int rc = d->GetChar(c);
    if (rc == 0) {
        return c;
    }
    CheckException(this, rc);
    return 0;
}

char TKvdCustomComPort::PeekChar(uint16_t count) {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    if (d == nullptr) {
        return 0;
    }
    char c = 0;
    const int rc = d->PeekChar(c, count);
    if (rc == 0) {
        return c;
    }
    CheckException(this, rc);
    return 0;
}

void TKvdCustomComPort::GetBlock(void* block, uint16_t len) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->GetBlock(block, len));
    }
}

void TKvdCustomComPort::PeekBlock(void* block, uint16_t len) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->PeekBlock(block, len));
    }
}

// ---------------------------------------------------------------------------------------------
// Writing

void TKvdCustomComPort::PutChar(char c) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->PutChar(c));
    }
}

void TKvdCustomComPort::PutString(const std::string& s) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        const auto length = static_cast<uint32_t>(std::min<size_t>(s.size(), UINT32_MAX));
        CheckException(this, d->PutBlock(s.data(), length));
    }
}

int32_t TKvdCustomComPort::PutBlock(const void* block, uint16_t len) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->PutBlock(block, len));
    }
    return 0;
}

void TKvdCustomComPort::FlushInBuffer() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->FlushInBuffer());
    }
}

void TKvdCustomComPort::FlushOutBuffer() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->FlushOutBuffer());
    }
}

void TKvdCustomComPort::ProcessCommunications() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->ProcessCommunications());
    }
}

// With yield, the messages handled during the break may close the port, and a close that no
// notification or wait holds up destroys the dispatcher at once: the break is therefore timed
// here, and ended only on the dispatcher that began it (a closed device has ended it already).
void TKvdCustomComPort::SendBreak(uint16_t ticks, bool yield) {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    if (d == nullptr) {
        return;
    }
    const uint32_t generation = dispatcherGeneration_;
    d->SetBreak(true);
    DelayTicks(ticks, yield);
    if (dispatcher_ == d && dispatcherGeneration_ == generation) {
        d->SetBreak(false);
    }
}

void TKvdCustomComPort::SetBreak(bool on) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->SetBreak(on);
    }
}

// ---------------------------------------------------------------------------------------------
// Status

uint8_t TKvdCustomComPort::ModemStatus() {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    return d != nullptr ? d->GetModemStatus() : 0;
}

TFlowControlState TKvdCustomComPort::FlowState() {
    TKvdBaseDispatcher* d = ActiveDispatcher();
    if (d == nullptr) {
        return fcOff;
    }
    const TFlowControlState hardware = FlowStateFromCode(CheckException(this, d->HWFlowState()));
    if (hardware != fcOff) {
        return hardware;
    }
    return FlowStateFromCode(CheckException(this, d->SWFlowState()));
}

bool TKvdCustomComPort::DSR() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDSR();
}

bool TKvdCustomComPort::CTS() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckCTS();
}

bool TKvdCustomComPort::RI() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckRI();
}

bool TKvdCustomComPort::DCD() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDCD();
}

bool TKvdCustomComPort::DeltaDSR() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDeltaDSR();
}

bool TKvdCustomComPort::DeltaCTS() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDeltaCTS();
}

bool TKvdCustomComPort::DeltaRI() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDeltaRI();
}

bool TKvdCustomComPort::DeltaDCD() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckDeltaDCD();
}

uint16_t TKvdCustomComPort::LineError() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    if (d == nullptr) {
        return 0;
    }
    const int errors = CheckException(this, d->GetLineError());
    return errors > 0 ? Clamp16(static_cast<uint32_t>(errors)) : 0;
}

bool TKvdCustomComPort::LineBreak() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr && d->CheckLineBreak();
}

uint16_t TKvdCustomComPort::InBuffUsed() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr ? Clamp16(d->InBuffUsed()) : 0;
}

uint16_t TKvdCustomComPort::InBuffFree() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return Clamp16(d != nullptr ? d->InBuffFree() : InBufferSize);
}

uint16_t TKvdCustomComPort::OutBuffUsed() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr ? Clamp16(d->OutBuffUsed()) : 0;
}

uint16_t TKvdCustomComPort::OutBuffFree() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr ? Clamp16(d->OutBuffFree()) : outSize_;
}

} // namespace kivo
