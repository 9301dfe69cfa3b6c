// Unit Kvport: the port component, the object through which an application uses one serial
// line. It keeps the line settings as properties, opens and closes the line through its `Open`
// property, forwards every data operation, status query and trigger to the dispatcher it owns
// while open, waits for strings, turns the dispatcher's notifications into its trigger events,
// and tells registered users when the port opens and closes.
//
// Failures raise the exceptions of Kvexcept (CheckException); while the component is being
// loaded from a layout, codes are returned instead.
//
// The unit is split by concern: kvport_config.cpp (properties, flow control, tracing and
// logging, users, Assign), kvport_lifecycle.cpp (opening, closing, the deferred close, loading,
// the dispatcher), kvport_data.cpp (data operations, status), kvport_wait.cpp (the waits) and
// kvport_events.cpp (trigger events, the hidden port window, trigger wrappers).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "comm/dispatch/kwuser.h"
#include "comm/platform/method.h"
#include "comm/util/oomisc.h"

namespace kivo {

class TKvdCustomComPort;

enum TDeviceLayer : uint8_t { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortState : uint8_t { psClosed, psShuttingDown, psOpen };
enum THWFlowOptions : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TFlowControlState : uint8_t {
    fcOff,
    fcOn,
    fcDsrHold,
    fcCtsHold,
    fcDcdHold,
    fcXOutHold,
    fcXInHold,
    fcXBothHold
};
enum TKvThreadBoost : uint8_t { tbNone, tbPlusOne, tbPlusTwo };

// A small set of enumeration values: bit n stands for the value with ordinal n.
template <typename E>
class TSmallSet {
public:
    constexpr TSmallSet() = default;
    constexpr TSmallSet(std::initializer_list<E> values) {
        for (E v : values) {
            bits_ |= Bit(v);
        }
    }
    static constexpr TSmallSet FromBits(uint8_t bits) {
        TSmallSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr TSmallSet With(E v) const { return FromBits(static_cast<uint8_t>(bits_ | Bit(v))); }
    constexpr TSmallSet Without(E v) const {
        return FromBits(static_cast<uint8_t>(bits_ & ~Bit(v)));
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint8_t Bits() const { return bits_; }
    constexpr bool operator==(const TSmallSet&) const = default;

private:
    // A value cast from an ordinal the set cannot hold is in no set.
    static constexpr uint8_t Bit(E v) {
        const auto ordinal = static_cast<unsigned>(v);
        return ordinal < 8 ? static_cast<uint8_t>(1u << ordinal) : 0;
    }
    uint8_t bits_ = 0;
};

using TDeviceLayers = TSmallSet<TDeviceLayer>;
using THWFlowOptionSet = TSmallSet<THWFlowOptions>;

// Events: methods of an object; the first argument is always the component.
using TNotifyEvent = TMethod<void(TComponent* sender)>;
using TTriggerEvent =
    TMethod<void(TKvdCustomComPort* cp, uint16_t msg, uint16_t triggerHandle, uint16_t data)>;
using TTriggerAvailEvent = TMethod<void(TKvdCustomComPort* cp, uint16_t count)>;
using TTriggerDataEvent = TMethod<void(TKvdCustomComPort* cp, uint16_t triggerHandle)>;
using TTriggerStatusEvent = TMethod<void(TKvdCustomComPort* cp, uint16_t triggerHandle)>;
using TTriggerTimerEvent = TMethod<void(TKvdCustomComPort* cp, uint16_t triggerHandle)>;
using TTriggerLineErrorEvent = TMethod<void(TKvdCustomComPort* cp, uint16_t error, bool lineBreak)>;
using TWaitCharEvent = TMethod<void(TKvdCustomComPort* cp, char c)>;
using TPortCallback = TMethod<void(TKvdCustomComPort* cp, bool opening)>;
// Creates the dispatcher for a component instead of the built-in choice.
using TActivationProcedure = TKvdBaseDispatcher* (*)(TKvdCustomComPort* cp);

struct TUserListEntry {
    HWND Handle = 0;        // 0 for a callback entry
    TPortCallback Callback; // empty for a window entry
};
using PUserListEntry = TUserListEntry*;

class TKvdCustomComPort : public TKvdBaseComponent, public IKvdTriggerOwner {
public:
    explicit TKvdCustomComPort(TComponent* owner = nullptr);
    ~TKvdCustomComPort() override;

    // --- Overridable operations
    virtual TKvdBaseDispatcher* ActivateDeviceLayer();
    virtual void DeviceLayerChanged() {}
    virtual int InitializePort();
    virtual void RegisterComPort(bool enabling);
    virtual void ValidateComport();
    virtual void SetUseMSRShadow(bool value) { (void)value; }
    void Trigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) override;
    void TriggerAvail(uint16_t count) override;
    void TriggerData(uint16_t triggerHandle) override;
    void TriggerStatus(uint16_t triggerHandle) override;
    void TriggerTimer(uint16_t triggerHandle) override;
    virtual void UpdateHandlerFlag();
    void TriggerLineError(uint16_t error, bool lineBreak) override;
    void TriggerModemStatus() override;
    void TriggerOutbuffFree() override;
    void TriggerOutbuffUsed() override;
    void TriggerOutSent() override;
    virtual void WaitChar(char c);
    virtual void DonePort();
    virtual void PortOpen();
    virtual void PortClose();
    virtual void InitPort();
    void Assign(const TComponent* source) override;
    void Loaded() override;

    // --- Published properties
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer value);
    uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t value);
    int32_t Baud() const { return baud_; }
    void SetBaud(int32_t value);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool value) { promptForPort_ = value; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity value);
    uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(uint16_t value);
    uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(uint16_t value);
    uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t value);
    uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t value);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool value) { autoOpen_ = value; }
    bool Open() const { return open_; }
    void SetOpen(bool value);
    bool DTR() const { return dtr_; }
    void SetDTR(bool value);
    bool RTS() const { return rts_; }
    void SetRTS(bool value);
    THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions_; }
    void SetHWFlowOptions(THWFlowOptionSet value);
    TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
    void SetSWFlowOptions(TSWFlowOptions value);
    char XOnChar() const { return xonChar_; }
    void SetXOnChar(char value);
    char XOffChar() const { return xoffChar_; }
    void SetXOffChar(char value);
    uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t value);
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t value);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState value);
    uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t value);
    const std::string& TraceName() const { return traceName_; }
    void SetTraceName(const std::string& value); // at most 255 characters kept
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool value) { traceHex_ = value; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool value) { traceAllHex_ = value; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState value);
    uint32_t LogSize() const { return logSize_; }
    void SetLogSize(uint32_t value);
    const std::string& LogName() const { return logName_; }
    void SetLogName(const std::string& value);
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool value) { logHex_ = value; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool value) { logAllHex_ = value; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool value);
    uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t value) { commNotificationLevel_ = value; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool value);

    // --- Events (assigning one of the ten trigger events updates the handler flag)
    const TTriggerEvent& OnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent value);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent value);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerDataEvent value);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerStatusEvent value);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerTimerEvent value);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent value);
    const TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TNotifyEvent value);
    const TWaitCharEvent& OnWaitChar() const { return onWaitChar_; }
    void SetOnWaitChar(TWaitCharEvent value) { onWaitChar_ = value; }
    const TNotifyEvent& OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(TNotifyEvent value) { onPortOpen_ = value; }
    const TNotifyEvent& OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(TNotifyEvent value) { onPortClose_ = value; }

    // --- Further public properties
    TKvdBaseDispatcher* Dispatcher(); // opens the port first when AutoOpen allows
    // As Dispatcher, raising -2007 when still none, and in a process forked after the open.
    TKvdBaseDispatcher* ValidDispatcher();
    TKvThreadBoost ThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(TKvThreadBoost value);
    uint16_t BaseAddress();
    void SetBaseAddress(uint16_t value);
    uint16_t TriggerLength() const { return triggerLength_; }
    void SetTriggerLength(uint16_t value);
    TPortState PortState() const { return portState_; }
    TActivationProcedure ActivationProc() const { return activationProc_; }
    void SetActivationProc(TActivationProcedure proc) { activationProc_ = proc; }
    uint16_t TapiDeviceId() const { return tapiDeviceId_; }
    void SetTapiDeviceId(uint16_t id) { tapiDeviceId_ = id; }
    HWND TriggerWindow() const { return triggerWindow_; }

    // --- Opening, users
    void ForcePortOpen();
    void RegisterUser(HWND handle);
    void RegisterUserCallback(TPortCallback callback);
    void DeregisterUser(HWND handle);
    void DeregisterUserCallback(TPortCallback callback);
    static std::string ComName(uint16_t portNumber);

    // --- Tracing and logging
    void InitTracing(uint32_t numEntries);
    void StartTracing();
    void StopTracing();
    void AbortTracing();
    void ClearTracing();
    void DumpTrace(const std::string& fileName, bool inHex);
    void AppendTrace(const std::string& fileName, bool inHex);
    void AddTraceEntry(char entryType, char c);
    void InitLogging(uint32_t size);
    void StartLogging();
    void StopLogging();
    void AbortLogging();
    void ClearLogging();
    void DumpLog(const std::string& fileName, bool inHex);
    void AppendLog(const std::string& fileName, bool inHex);
    void AddStringToLog(const std::string& text);

    // --- Data operations
    bool CharReady();
    char GetChar();
    char PeekChar(uint16_t count);
    void GetBlock(void* block, uint16_t len);
    void PeekBlock(void* block, uint16_t len);
    void PutChar(char c);
    void PutString(const std::string& s);
    int32_t PutBlock(const void* block, uint16_t len);
    void FlushInBuffer();
    void FlushOutBuffer();
    void ProcessCommunications();
    void SendBreak(uint16_t ticks, bool yield);
    void SetBreak(bool on);

    // --- Waits
    void PrepareWait();
    // Reads the input until `s` has arrived (true) or `timeout` ticks have passed (false). A wait
    // that ends because the application is terminating also returns true. With `yield` the
    // thread handles its messages meanwhile.
    bool WaitForString(const std::string& s, int32_t timeout, bool yield, bool ignoreCase);
    // The number (from 1) of the first of the texts in `s`, separated by `separator`, to arrive;
    // 0 after the time-out or when the application is terminating.
    int32_t WaitForMultiString(const std::string& s, int32_t timeout, bool yield, bool ignoreCase,
                               char separator);
    bool CheckForString(uint8_t& index, char c, const std::string& s, bool ignoreCase);

    // --- Status properties
    uint8_t ModemStatus();
    TFlowControlState FlowState();
    bool DSR();
    bool CTS();
    bool RI();
    bool DCD();
    bool DeltaDSR();
    bool DeltaCTS();
    bool DeltaRI();
    bool DeltaDCD();
    uint16_t LineError();
    bool LineBreak();
    uint16_t InBuffUsed();
    uint16_t InBuffFree();
    uint16_t OutBuffUsed();
    uint16_t OutBuffFree();

    // --- Trigger wrappers
    uint16_t AddDataTrigger(const std::string& data, bool ignoreCase);
    uint16_t AddTimerTrigger();
    // sType is one of skModem, skLine, skOutFree, skOutUsed and skOutSent (kwuser.h).
    uint16_t AddStatusTrigger(uint16_t sType);
    void RemoveTrigger(uint16_t handle);
    void RemoveAllTriggers();
    void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
    // The value by kind: skModem a mask of ms_* bits, skLine bit 0 overrun, 1 parity, 2 framing,
    // 3 break; skOutFree the free bytes to reach, skOutUsed the used bytes to fall to; skOutSent
    // none. Without `activate` the trigger is disarmed.
    void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);

    // --- IKvdTriggerOwner: the hidden port window calls these
    uint16_t LineErrorNow() override { return LineError(); }
    bool LineBreakNow() override { return LineBreak(); }
    HWND TriggerWindowHandle() const override { return triggerWindow_; }
    void CompleteDeferredClose() override;

    // The first port component among the components the owner owns, depth first, or null.
    static TKvdCustomComPort* SearchComPort(TComponent* owner);

protected:
    TDeviceLayers DeviceLayers() const { return deviceLayers_; }
    bool ForceApply() const { return forceApply_; }

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptionSet hwFlowOptions_;
    TSWFlowOptions swFlowOptions_ = swfNone;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "KIVO.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    uint32_t logSize_ = 10000;
    std::string logName_ = "KIVO.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;
    TKvThreadBoost threadBoost_ = tbNone;
    uint16_t triggerLength_ = 1;

    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerDataEvent onTriggerData_;
    TTriggerStatusEvent onTriggerStatus_;
    TTriggerTimerEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerModemStatus_;
    TNotifyEvent onTriggerOutbuffFree_;
    TNotifyEvent onTriggerOutbuffUsed_;
    TNotifyEvent onTriggerOutSent_;
    TWaitCharEvent onWaitChar_;
    TNotifyEvent onPortOpen_;
    TNotifyEvent onPortClose_;

    TPortState portState_ = psClosed;
    TKvdBaseDispatcher* dispatcher_ = nullptr;
    bool forceApply_ = false;
    bool openPending_ = false;
    bool reopenPending_ = false;
    bool triggersSaved_ = false;
    TTriggerSave savedTriggers_;
    bool waitPrepared_ = false;
    bool waitSavedBusy_ = false;
    HWND triggerWindow_ = 0;
    std::vector<std::unique_ptr<TUserListEntry>> userList_;
    TDeviceLayers deviceLayers_{dlWin32};
    TActivationProcedure activationProc_ = nullptr;
    uint16_t tapiDeviceId_ = 0;

private:
    friend class TPortWaitScope;

    void ApplySettings();
    void AbandonOpen(bool triggersWereSaved);
    void LetGoOfInheritedPort();
    void CloseDispatcher();
    void FinishClose();
    void ReapplyFlowControl();
    struct TCollector;
    static const TCollector Trace;
    static const TCollector Log;
    void ChangeCollecting(const TCollector& collector, TTraceLogState value);
    bool AnyTriggerEventAssigned() const;
    // The dispatcher for an operation that has a neutral value while a close completes: null
    // then (and while loading, when the missing port raises nothing).
    TKvdBaseDispatcher* ActiveDispatcher();
    // The dispatcher while the port is open, else null; never opens the port.
    TKvdBaseDispatcher* OpenPortDispatcher() const;
    int CheckWaitText(const std::string& s);

    // Counts the dispatchers this component has created, so that a wait can tell whether the
    // dispatcher it started on is still the one in use.
    uint32_t dispatcherGeneration_ = 0;
};

// The published face of the port component; all logic lives in TKvdCustomComPort.
class TKvdComPort : public TKvdCustomComPort {
public:
    using TKvdCustomComPort::TKvdCustomComPort;
};

} // namespace kivo
