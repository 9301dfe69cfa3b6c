// Unit Kvport, configuration: the line settings, flow control, tracing and logging, the user
// list, Assign and the small lookups. Setters store their value and, while the port is open,
// hand it to the dispatcher; opening re-applies them all with ForceApply set.
#include "comm/port/kvport.h"

#include <algorithm>

#include "comm/errors/kvexcept.h"
#include "comm/platform/winmsg.h"

namespace kivo {

namespace {

constexpr uint32_t kMaxTraceSize = TKvTraceQueue::MaxEntries;
constexpr uint32_t kMaxLogSize = 16000000;
constexpr size_t kMaxFileNameLength = 255;

uint16_t Fraction(uint16_t value, uint32_t numerator, uint32_t denominator) {
    return static_cast<uint16_t>(uint32_t{value} * numerator / denominator);
}

uint32_t SWFlowOption(TSWFlowOptions value) {
    switch (value) {
    case swfBoth:
        return 3;
    case swfTransmit:
        return 1;
    case swfReceive:
        return 2;
    default:
        return 0;
    }
}

// A name with a NUL in it names no file: cut at the NUL, it would write to another one. The
// dispatcher answers a missing name as a file it cannot open.
const char* FileNameArgument(const std::string& name) {
    return name.find('\0') == std::string::npos ? name.c_str() : nullptr;
}

bool Collecting(TTraceLogState state) {
    return state == tlOn || state == tlPause;
}

// The dispatcher's line arguments are 8 bits wide: a value that does not fit is passed as one
// the dispatcher refuses, never as a truncated value that it might accept.
int8_t LineArgument(uint16_t value) {
    return value <= 127 ? static_cast<int8_t>(value) : int8_t{-1};
}

// Keeps ForceApply set for the lifetime of the guard and gives back the previous value, also
// when a setter raises.
class TForceApplyGuard {
public:
    explicit TForceApplyGuard(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
    ~TForceApplyGuard() { flag_ = previous_; }
    TForceApplyGuard(const TForceApplyGuard&) = delete;
    TForceApplyGuard& operator=(const TForceApplyGuard&) = delete;

private:
    bool& flag_;
    bool previous_;
};

} // namespace

// Every setting goes to a new dispatcher through its own setter, in this order: enabling
// software flow control installs the default flow characters, which the XOnChar and XOffChar
// steps then replace with the component's.
void TKvdCustomComPort::ApplySettings() {
    TForceApplyGuard force(forceApply_);
    SetTracing(tracing_);
    SetLogging(logging_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
    SetXOnChar(xonChar_);
    SetXOffChar(xoffChar_);
    SetTriggerLength(triggerLength_);
    SetDTR(dtr_);
    if (deviceLayer_ != dlFossil) {
        SetRTS(rts_);
    }
    SetUseMSRShadow(useMSRShadow_);
    SetUseEventWord(useEventWord_);
    SetCommNotificationLevel(commNotificationLevel_);
    SetRS485Mode(rs485Mode_);
    SetThreadBoost(threadBoost_);
}

// ---------------------------------------------------------------------------------------------
// Line settings

void TKvdCustomComPort::SetDeviceLayer(TDeviceLayer value) {
    if (value == deviceLayer_ || portState_ != psClosed || !deviceLayers_.Contains(value)) {
        return;
    }
    deviceLayer_ = value;
    DeviceLayerChanged();
}

int TKvdCustomComPort::InitializePort() {
    const std::string name =
        tapiMode_ == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(comNumber_);
    return dispatcher_->InitPort(name.c_str(), baud_, parity_, LineArgument(dataBits_),
                                 LineArgument(stopBits_), inSize_, outSize_, dtr_, rts_);
}

namespace {

// The line settings of an open port go to the dispatcher together; a failure is raised with
// the property already holding its new value.
void ApplyLine(TKvdCustomComPort& port, TKvdBaseDispatcher* d) {
    if (d != nullptr) {
        CheckException(&port, d->SetLine(port.Baud(), port.Parity(), LineArgument(port.DataBits()),
                                         LineArgument(port.StopBits())));
    }
}

} // namespace

void TKvdCustomComPort::SetBaud(int32_t value) {
    if (value != baud_) {
        baud_ = value;
        ApplyLine(*this, OpenPortDispatcher());
    }
}

void TKvdCustomComPort::SetParity(TParity value) {
    if (value != parity_) {
        parity_ = value;
        ApplyLine(*this, OpenPortDispatcher());
    }
}

void TKvdCustomComPort::SetDataBits(uint16_t value) {
    if (value != dataBits_) {
        dataBits_ = value;
        ApplyLine(*this, OpenPortDispatcher());
    }
}

void TKvdCustomComPort::SetStopBits(uint16_t value) {
    if (value != stopBits_) {
        stopBits_ = value;
        ApplyLine(*this, OpenPortDispatcher());
    }
}

void TKvdCustomComPort::SetInSize(uint16_t value) {
    if (value == inSize_) {
        return;
    }
    inSize_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->SetCommBuffers(inSize_, outSize_);
    }
}

void TKvdCustomComPort::SetOutSize(uint16_t value) {
    if (value == outSize_) {
        return;
    }
    outSize_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->SetCommBuffers(inSize_, outSize_);
    }
}

void TKvdCustomComPort::SetDTR(bool value) {
    if (value == dtr_ && !forceApply_) {
        return;
    }
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    if (d == nullptr || CheckException(this, d->SetDtr(value)) == 0) {
        dtr_ = value;
    }
}

void TKvdCustomComPort::SetRTS(bool value) {
    if (value == rts_ && !forceApply_) {
        return;
    }
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    if (d == nullptr || CheckException(this, d->SetRts(value)) == 0) {
        rts_ = value;
    }
}

void TKvdCustomComPort::SetUseEventWord(bool value) {
    if (value == useEventWord_ && !forceApply_) {
        return;
    }
    useEventWord_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        if (value) {
            d->OptionsOn(doUseEventWord);
        } else {
            d->OptionsOff(doUseEventWord);
        }
    }
}

void TKvdCustomComPort::SetThreadBoost(TKvThreadBoost value) {
    if (value == threadBoost_ && !forceApply_) {
        return;
    }
    threadBoost_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->SetThreadBoost(value);
    }
}

uint16_t TKvdCustomComPort::BaseAddress() {
    TKvdBaseDispatcher* d = OpenPortDispatcher();
    return d != nullptr ? d->GetBaseAddress() : 0;
}

void TKvdCustomComPort::SetBaseAddress(uint16_t value) {
    if (value == BaseAddress() && !forceApply_) {
        return;
    }
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->SetBaseAddress(value);
    }
}

// ---------------------------------------------------------------------------------------------
// Flow control

void TKvdCustomComPort::SetHWFlowOptions(THWFlowOptionSet value) {
    if (value == hwFlowOptions_ && !forceApply_) {
        return;
    }
    const uint32_t flags = value.Bits() & 0x0F;
    if (flags != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = Fraction(inSize_, 9, 10);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = Fraction(inSize_, 1, 10);
        }
    }
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        CheckException(this, d->HWFlowOptions(bufferFull_, bufferResume_, flags));
    }
    hwFlowOptions_ = value;
    if (value.Contains(hwfUseRTS) || value.Contains(hwfRequireCTS)) {
        SetRS485Mode(false);
    }
}

void TKvdCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
    if (value == swFlowOptions_ && !forceApply_) {
        return;
    }
    const uint32_t option = SWFlowOption(value);
    if (option != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = Fraction(inSize_, 3, 4);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = Fraction(inSize_, 1, 4);
        }
    }
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        if (option == 0) {
            CheckException(this, d->SWFlowDisable());
        } else if (CheckException(this, d->SWFlowEnable(bufferFull_, bufferResume_, option)) == 0) {
            // Enabling installs the default characters: the component's own go back on the line.
            CheckException(this, d->SWFlowChars(xonChar_, xoffChar_));
        }
    }
    swFlowOptions_ = value;
}

void TKvdCustomComPort::SetXOnChar(char value) {
    if (value == xonChar_ && !forceApply_) {
        return;
    }
    xonChar_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        CheckException(this, d->SWFlowChars(xonChar_, xoffChar_));
    }
}

void TKvdCustomComPort::SetXOffChar(char value) {
    if (value == xoffChar_ && !forceApply_) {
        return;
    }
    xoffChar_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        CheckException(this, d->SWFlowChars(xonChar_, xoffChar_));
    }
}

void TKvdCustomComPort::SetBufferFull(uint16_t value) {
    if (value == bufferFull_ && !forceApply_) {
        return;
    }
    bufferFull_ = value > inSize_ ? Fraction(inSize_, 9, 10) : value;
    ReapplyFlowControl();
}

void TKvdCustomComPort::SetBufferResume(uint16_t value) {
    if (value == bufferResume_ && !forceApply_) {
        return;
    }
    bufferResume_ = value > bufferFull_ ? Fraction(bufferFull_, 1, 10) : value;
    ReapplyFlowControl();
}

// New marks reach an open port through the flow-control setters.
void TKvdCustomComPort::ReapplyFlowControl() {
    TForceApplyGuard force(forceApply_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
}

// RS-485 switches RTS itself, so it excludes RTS/CTS flow control. The driver's RTS toggle is
// part of what the hardware flow options write, so they are written again whenever the mode
// is entered or left, also when the options themselves stay the same.
void TKvdCustomComPort::SetRS485Mode(bool value) {
    if (value == rs485Mode_ && !forceApply_) {
        return;
    }
    const bool leaving = rs485Mode_ && !value;
    rs485Mode_ = value;
    if (TKvdBaseDispatcher* d = OpenPortDispatcher()) {
        d->SetRS485Mode(value);
    }
    if (value) {
        // RTS goes low before the toggle is written: once the driver switches RTS, the line's
        // RTS control is no longer this side's to set.
        SetRTS(false);
        TForceApplyGuard force(forceApply_);
        SetHWFlowOptions(hwFlowOptions_.Without(hwfUseRTS).Without(hwfRequireCTS));
    } else if (leaving) {
        TForceApplyGuard force(forceApply_);
        SetHWFlowOptions(hwFlowOptions_);
    }
}

// ---------------------------------------------------------------------------------------------
// Tracing and logging share one state machine; a collector names the operations of each.

struct TKvdCustomComPort::TCollector {
    TTraceLogState TKvdCustomComPort::*state;
    uint32_t TKvdCustomComPort::*size;
    std::string TKvdCustomComPort::*fileName;
    bool TKvdCustomComPort::*inHex;
    void (TKvdCustomComPort::*init)(uint32_t);
    void (TKvdCustomComPort::*start)();
    void (TKvdCustomComPort::*stop)();
    void (TKvdCustomComPort::*abort)();
    void (TKvdCustomComPort::*clear)();
    void (TKvdCustomComPort::*dump)(const std::string&, bool);
    void (TKvdCustomComPort::*append)(const std::string&, bool);
};

const TKvdCustomComPort::TCollector TKvdCustomComPort::Trace = {
    &TKvdCustomComPort::tracing_,     &TKvdCustomComPort::traceSize_,
    &TKvdCustomComPort::traceName_,   &TKvdCustomComPort::traceHex_,
    &TKvdCustomComPort::InitTracing,  &TKvdCustomComPort::StartTracing,
    &TKvdCustomComPort::StopTracing,  &TKvdCustomComPort::AbortTracing,
    &TKvdCustomComPort::ClearTracing, &TKvdCustomComPort::DumpTrace,
    &TKvdCustomComPort::AppendTrace};

const TKvdCustomComPort::TCollector TKvdCustomComPort::Log = {
    &TKvdCustomComPort::logging_,     &TKvdCustomComPort::logSize_,
    &TKvdCustomComPort::logName_,     &TKvdCustomComPort::logHex_,
    &TKvdCustomComPort::InitLogging,  &TKvdCustomComPort::StartLogging,
    &TKvdCustomComPort::StopLogging,  &TKvdCustomComPort::AbortLogging,
    &TKvdCustomComPort::ClearLogging, &TKvdCustomComPort::DumpLog,
    &TKvdCustomComPort::AppendLog};

// A closed port only remembers whether to collect from the next open. On an open port the
// state changes through the operations, which set the state they lead to; a combination that
// has no operation changes nothing.
void TKvdCustomComPort::ChangeCollecting(const TCollector& c, TTraceLogState value) {
    const TTraceLogState current = this->*c.state;
    if (value == current && !forceApply_) {
        return;
    }
    if (portState_ != psOpen) {
        this->*c.state = value == tlOn ? tlOn : tlOff;
        return;
    }
    switch (value) {
    case tlOff:
        if (Collecting(current)) {
            (this->*c.abort)();
        }
        break;
    case tlOn:
        if (current == tlPause) {
            (this->*c.start)();
        } else {
            (this->*c.init)(this->*c.size);
        }
        break;
    case tlDump:
    case tlAppend:
        if (Collecting(current)) {
            (this->*c.start)();
            (this->*(value == tlDump ? c.dump : c.append))(this->*c.fileName, this->*c.inHex);
        }
        break;
    case tlClear:
        if (Collecting(current)) {
            (this->*c.clear)();
        }
        break;
    case tlPause:
        if (current == tlOn) {
            (this->*c.stop)();
        }
        break;
    }
}

void TKvdCustomComPort::SetTracing(TTraceLogState value) {
    ChangeCollecting(Trace, value);
}

void TKvdCustomComPort::SetLogging(TTraceLogState value) {
    ChangeCollecting(Log, value);
}

void TKvdCustomComPort::SetTraceSize(uint32_t value) {
    value = std::min(value, kMaxTraceSize);
    if (value == traceSize_) {
        return;
    }
    traceSize_ = value;
    if (portState_ == psOpen && tracing_ == tlOn) {
        AbortTracing();
        InitTracing(traceSize_);
    }
}

void TKvdCustomComPort::SetTraceName(const std::string& value) {
    traceName_ = value.substr(0, kMaxFileNameLength);
}

// The size kept for later traces stays within the property's cap even when the dispatcher
// refuses this one: an opening that starts the trace would otherwise be refused for good.
void TKvdCustomComPort::InitTracing(uint32_t numEntries) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        if (numEntries != 0) {
            traceSize_ = std::min(numEntries, kMaxTraceSize);
        }
        CheckException(this, d->InitTracing(numEntries));
        tracing_ = tlOn;
    }
}

void TKvdCustomComPort::StartTracing() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->StartTracing();
        tracing_ = tlOn;
    }
}

void TKvdCustomComPort::StopTracing() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->StopTracing();
        tracing_ = tlPause;
    }
}

void TKvdCustomComPort::AbortTracing() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->AbortTracing();
        tracing_ = tlOff;
    }
}

void TKvdCustomComPort::ClearTracing() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        CheckException(this, d->ClearTracing());
    }
}

// The dispatcher ends the trace whether or not the file could be written.
void TKvdCustomComPort::DumpTrace(const std::string& fileName, bool inHex) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        const int rc = d->DumpTrace(FileNameArgument(fileName), inHex, traceAllHex_);
        tracing_ = tlOff;
        CheckException(this, rc);
    }
}

void TKvdCustomComPort::AppendTrace(const std::string& fileName, bool inHex) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        const int rc = d->AppendTrace(FileNameArgument(fileName), inHex, traceAllHex_);
        tracing_ = tlOff;
        CheckException(this, rc);
    }
}

void TKvdCustomComPort::AddTraceEntry(char entryType, char c) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->AddTraceEntry(entryType, c);
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatch logging

void TKvdCustomComPort::SetLogSize(uint32_t value) {
    value = std::min(value, kMaxLogSize);
    if (value == logSize_) {
        return;
    }
    logSize_ = value;
    if (portState_ == psOpen && logging_ == tlOn) {
        AbortLogging();
        InitLogging(logSize_);
    }
}

void TKvdCustomComPort::SetLogName(const std::string& value) {
    logName_ = value.substr(0, kMaxFileNameLength);
}

void TKvdCustomComPort::InitLogging(uint32_t size) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        if (size != 0) {
            logSize_ = std::min(size, kMaxLogSize);
        }
        d->InitDispatchLogging(logSize_);
        logging_ = tlOn;
    }
}

void TKvdCustomComPort::StartLogging() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->StartDispatchLogging();
        logging_ = tlOn;
    }
}

void TKvdCustomComPort::StopLogging() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->StopDispatchLogging();
        logging_ = tlPause;
    }
}

void TKvdCustomComPort::AbortLogging() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->AbortDispatchLogging();
        logging_ = tlOff;
    }
}

void TKvdCustomComPort::ClearLogging() {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->ClearDispatchLogging();
    }
}

void TKvdCustomComPort::DumpLog(const std::string& fileName, bool inHex) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        const int rc = d->DumpDispatchLog(FileNameArgument(fileName), inHex, logAllHex_);
        logging_ = tlOff;
        CheckException(this, rc);
    }
}

void TKvdCustomComPort::AppendLog(const std::string& fileName, bool inHex) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        const int rc = d->AppendDispatchLog(FileNameArgument(fileName), inHex, logAllHex_);
        logging_ = tlOff;
        CheckException(this, rc);
    }
}

void TKvdCustomComPort::AddStringToLog(const std::string& text) {
    if (TKvdBaseDispatcher* d = ActiveDispatcher()) {
        d->AddStringToLog(text);
    }
}

// ---------------------------------------------------------------------------------------------
// Users

void TKvdCustomComPort::RegisterUser(HWND handle) {
    userList_.push_back(std::make_unique<TUserListEntry>(TUserListEntry{handle, {}}));
}

void TKvdCustomComPort::RegisterUserCallback(TPortCallback callback) {
    userList_.push_back(std::make_unique<TUserListEntry>(TUserListEntry{0, callback}));
}

// Window 0 stands for the callback entries, so it never matches here.
void TKvdCustomComPort::DeregisterUser(HWND handle) {
    for (size_t i = userList_.size(); i-- > 0;) {
        if (handle != 0 && userList_[i]->Handle == handle) {
            userList_.erase(userList_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

// The routine alone decides: a callback registered from any object goes.
void TKvdCustomComPort::DeregisterUserCallback(TPortCallback callback) {
    for (size_t i = userList_.size(); i-- > 0;) {
        const TUserListEntry& entry = *userList_[i];
        if (entry.Handle == 0 && entry.Callback && entry.Callback.SameRoutine(callback)) {
            userList_.erase(userList_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

namespace {

// Users are told last to first. A user may deregister itself or others while being told, so
// each entry is copied before it is called and the index is checked against the list again.
void NotifyUsers(TKvdCustomComPort& port, const std::vector<std::unique_ptr<TUserListEntry>>& users,
                 bool opening) {
    for (size_t i = users.size(); i-- > 0;) {
        if (i >= users.size()) {
            continue;
        }
        const TUserListEntry entry = *users[i];
        if (entry.Handle != 0) {
            SendMessage(entry.Handle, opening ? msgPortOpen : msgPortClose, 0, 0);
        } else if (entry.Callback) {
            entry.Callback(&port, opening);
        }
    }
}

} // namespace

void TKvdCustomComPort::PortOpen() {
    NotifyUsers(*this, userList_, true);
    if (onPortOpen_) {
        onPortOpen_(this);
    }
}

void TKvdCustomComPort::PortClose() {
    NotifyUsers(*this, userList_, false);
    if (onPortClose_) {
        onPortClose_(this);
    }
}

// ---------------------------------------------------------------------------------------------
// Assign and lookups

// A component whose port is open is closed first: the copied settings and a closed Open must
// describe the same port.
void TKvdCustomComPort::Assign(const TComponent* source) {
    const auto* src = dynamic_cast<const TKvdCustomComPort*>(source);
    if (src == nullptr || src == this) {
        return;
    }
    if (portState_ == psOpen) {
        SetOpen(false);
    }
    userList_.clear();
    for (const auto& entry : src->userList_) {
        userList_.push_back(std::make_unique<TUserListEntry>(*entry));
    }
    if (TKvdBaseDispatcher* d = src->OpenPortDispatcher()) {
        d->SaveTriggers(savedTriggers_);
        triggersSaved_ = true;
    }
    deviceLayer_ = src->deviceLayer_;
    comNumber_ = src->comNumber_;
    baud_ = src->baud_;
    parity_ = src->parity_;
    dataBits_ = src->dataBits_;
    stopBits_ = src->stopBits_;
    inSize_ = src->inSize_;
    outSize_ = src->outSize_;
    autoOpen_ = src->autoOpen_;
    promptForPort_ = src->promptForPort_;
    rs485Mode_ = src->rs485Mode_;
    threadBoost_ = src->threadBoost_;
    dtr_ = src->dtr_;
    rts_ = src->rts_;
    bufferFull_ = src->bufferFull_;
    bufferResume_ = src->bufferResume_;
    hwFlowOptions_ = src->hwFlowOptions_;
    swFlowOptions_ = src->swFlowOptions_;
    xonChar_ = src->xonChar_;
    xoffChar_ = src->xoffChar_;
    tracing_ = src->tracing_;
    traceSize_ = src->traceSize_;
    traceName_ = src->traceName_;
    traceHex_ = src->traceHex_;
    traceAllHex_ = src->traceAllHex_;
    logging_ = src->logging_;
    logSize_ = src->logSize_;
    logName_ = src->logName_;
    logHex_ = src->logHex_;
    logAllHex_ = src->logAllHex_;
    triggerLength_ = src->triggerLength_;
    onPortOpen_ = src->onPortOpen_;
    onPortClose_ = src->onPortClose_;
    tapiMode_ = src->tapiMode_;
    open_ = false;
    SetOnTrigger(src->onTrigger_);
    SetOnTriggerAvail(src->onTriggerAvail_);
    SetOnTriggerData(src->onTriggerData_);
    SetOnTriggerStatus(src->onTriggerStatus_);
    SetOnTriggerTimer(src->onTriggerTimer_);
}

std::string TKvdCustomComPort::ComName(uint16_t portNumber) {
    return "COM" + std::to_string(portNumber);
}

TKvdCustomComPort* TKvdCustomComPort::SearchComPort(TComponent* owner) {
    if (owner == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < owner->ComponentCount(); ++i) {
        TComponent* component = owner->Components(i);
        if (auto* port = dynamic_cast<TKvdCustomComPort*>(component)) {
            return port;
        }
        if (TKvdCustomComPort* port = SearchComPort(component)) {
            return port;
        }
    }
    return nullptr;
}

} // namespace kivo
