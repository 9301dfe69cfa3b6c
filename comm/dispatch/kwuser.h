// Unit Kwuser: the dispatcher, the engine under the port component. One dispatcher serves one
// open port: it owns the input and output rings, the line settings, the modem and line status
// shadows, the triggers and the handlers that are told when they fire, the trace and the
// dispatch log, and the three background threads that move bytes between the device and the
// rings. Every access to the device goes through the row of virtual device operations that a
// device layer fills in (Kwwin32 for serial ports; an in-memory layer in the tests).
//
// The unit is split by concern: kwuser_core.cpp (construction, port list, opening, closing,
// line settings), kwuser_data.cpp (data, status and flow-control operations), kwuser_trace.cpp,
// kwuser_log.cpp, kwuser_triggers.cpp, kwuser_notify.cpp (handlers, SendNotify, the hidden
// port window) and kwuser_threads.cpp.
//
// Results are 32-bit integers: 0 or a count on success, a negative error code on failure.
// Locks nest in one order only: inputLock, then mainLock, then outputLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/platform/component.h"
#include "comm/platform/method.h"
#include "comm/platform/serial_dcb.h"
#include "comm/platform/sync.h"
#include "comm/platform/thread.h"
#include "comm/platform/winmsg.h"
#include "comm/util/oomisc.h"

namespace kivo {

class TKvdBaseDispatcher;
class TKvdDispatcherThread;

// ---------------------------------------------------------------------------------------------
// Shared vocabulary

// The input ring always has this size, whatever input size the port asks for.
constexpr uint32_t InBufferSize = 8192;

// Notification messages.
constexpr UINT msgTriggerAvail = 0x7E01;
constexpr UINT msgTriggerData = 0x7E02;
constexpr UINT msgTriggerTimer = 0x7E03;
constexpr UINT msgTriggerStatus = 0x7E04;
constexpr UINT msgPortOpen = 0x7E08;
constexpr UINT msgPortClose = 0x7E09;
constexpr UINT msgDeferredClose = 0x7E0A;

// Dispatcher option bits (OptionsOn / OptionsOff / OptionsAreOn).
constexpr uint32_t doUseEventWord = 4;

enum TTriggerType : uint8_t { ttNone, ttAvail, ttTimer, ttData, ttStatus };

enum TKvHandlerFlagUpdate : uint8_t { fuKeepPort, fuEnablePort, fuDisablePort };

// Status trigger kinds; a status trigger's handle carries its kind in the low three bits.
constexpr uint32_t skNotActive = 0;
constexpr uint32_t skModem = 1;
constexpr uint32_t skLine = 2;
constexpr uint32_t skOutFree = 3;
constexpr uint32_t skOutUsed = 4;
constexpr uint32_t skOutSent = 5;

// Handle 1 stands for the length (avail) trigger.
constexpr uint32_t LengthTriggerHandle = 1;
constexpr uint32_t MaxDataTriggerLen = 21;

// Trigger records are fixed-size so that save and restore copy them whole.
struct TDataTrigger {
    uint32_t handle;
    uint32_t length;         // 0..21
    uint32_t matchSlots[22]; // partial-match counters, the first `length` in use
    uint32_t matched;        // 0 or all ones: completed, notification pending
    uint32_t ignoreCase;     // 0 or all ones
    uint8_t pattern[24];     // upper-cased when ignoreCase
};

struct TTimerTrigger {
    uint32_t handle;
    EventTimer timer;
    int32_t ticks;    // duration last given to SetTimerTrigger
    int32_t reserved; // -1 from creation
    uint32_t active;
};

struct TStatusTrigger {
    uint32_t handle; // with the kind in its low three bits
    uint32_t kind;
    uint16_t value;  // skModem: watched bits in the low byte, reference bits in the high byte;
                     // skLine: CE_* mask (the whole line-error word once fired);
                     // skOutFree / skOutUsed: the threshold
    uint8_t active;
    uint8_t hit;
};

// Triggers saved at a close and restored into the next dispatcher; owned by the caller.
struct TTriggerSave {
    uint32_t availThreshold = 0;
    std::vector<TTimerTrigger> timerTriggers;
    std::vector<TDataTrigger> dataTriggers;
    std::vector<TStatusTrigger> statusTriggers;
};

// Handlers told about firing triggers: (message, wParam, lParam). The port component's own
// events (TTriggerEvent and its companions) are a different thing, declared with the component.
using TTriggerProc = void (*)(uint32_t message, uint32_t wParam, int32_t lParam);
using TTriggerMethod = TMethod<void(uint32_t message, uint32_t wParam, int32_t lParam)>;

struct TWndHandler {
    HWND window;
    bool deleted;
};
struct TProcHandler {
    TTriggerProc proc;
    bool deleted;
};
struct TEventHandler {
    TTriggerMethod method;
    bool deleted;
    bool synchronized; // run on the main thread
};

// The port component as the hidden port window sees it: the window procedure routes each
// notification to the owner of the notifying dispatcher through this interface.
class IKvdTriggerOwner {
public:
    virtual void Trigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) = 0;
    virtual void TriggerAvail(uint16_t count) = 0;
    virtual void TriggerData(uint16_t triggerHandle) = 0;
    virtual void TriggerStatus(uint16_t triggerHandle) = 0;
    virtual void TriggerTimer(uint16_t triggerHandle) = 0;
    virtual void TriggerLineError(uint16_t error, bool lineBreak) = 0;
    virtual void TriggerModemStatus() = 0;
    virtual void TriggerOutbuffFree() = 0;
    virtual void TriggerOutbuffUsed() = 0;
    virtual void TriggerOutSent() = 0;
    // Current line error and line break, as the component's properties read them.
    virtual uint16_t LineErrorNow() = 0;
    virtual bool LineBreakNow() = 0;
    // The hidden window of the owner, for re-posting a deferred close.
    virtual HWND TriggerWindowHandle() const = 0;
    // Finishes a close that was deferred because a notification or a wait was running.
    virtual void CompleteDeferredClose() = 0;

protected:
    ~IKvdTriggerOwner() = default;
};

// ---------------------------------------------------------------------------------------------
// Dispatch log vocabulary

enum TDispatchType : uint8_t {
    dtNone,
    dtDispatch,
    dtTrigger,
    dtError,
    dtThread,
    dtTriggerAlloc,
    dtTriggerDispose,
    dtTriggerHandlerAlloc,
    dtTriggerHandlerDispose,
    dtTriggerDataChange,
    dtTelnet,
    dtFax,
    dtXModem,
    dtYModem,
    dtZModem,
    dtKermit,
    dtAscii,
    dtBPlus,
    dtPacket,
    dtUser
};

// 252 values; the ones the dispatcher produces and the generic ones are named here, the
// protocol states (30..241) are rendered generically from the string table.
enum TDispatchSubType : uint8_t {
    dstNone = 0,
    dstReadCom = 1,
    dstWriteCom = 2,
    dstLineStatus = 3,
    dstModemStatus = 4,
    dstAvail = 5,
    dstTimer = 6,
    dstData = 7,
    dstStatus = 8,
    dstThreadStart = 9,
    dstThreadExit = 10,
    dstThreadSleep = 11,
    dstThreadWake = 12,
    dstDataTrigger = 13,
    dstTimerTrigger = 14,
    dstStatusTrigger = 15,
    dstAvailTrigger = 16,
    dstWndHandler = 17,
    dstProcHandler = 18,
    dstEventHandler = 19,
    dstSWill = 20,
    dstSWont = 21,
    dstSDo = 22,
    dstSDont = 23,
    dstRWill = 24,
    dstRWont = 25,
    dstRDo = 26,
    dstRDont = 27,
    dstCommand = 28,
    dstSTerm = 29,
    dsttfDial = 39,
    dstrxCollectBlock = 133,
    dstEnable = 242,
    dstDisable = 243,
    dstStringPacket = 244,
    dstSizePacket = 245,
    dstPacketTimeout = 246,
    dstStartStr = 247,
    dstEndStr = 248,
    dstIdle = 249,
    dstWaiting = 250,
    dstCollecting = 251
};

// Header of a dispatch-log entry; 16 bytes in the ring, followed by blockLength block bytes.
struct TDispatchRecord {
    uint8_t type;
    uint8_t subType;
    uint8_t reserved[2];
    uint32_t time; // milliseconds since the port was opened
    uint32_t data;
    uint32_t blockLength;
};
static_assert(sizeof(TDispatchRecord) == 16);

// The trace: a ring of (kind, byte) entries, 'R' received, 'T' transmitted, anything else an
// application entry. The dispatcher guards it with its mainLock; On() may be asked without the
// lock, so that the bytes of a port that is not traced cost none.
class TKvTraceQueue {
public:
    static constexpr uint32_t MaxEntries = 4000000;

    int Init(uint32_t entries); // 0, -1002 for too many entries, -8 when memory runs out
    void Clear();
    void Abort();
    void Start();
    void Stop();
    void Add(char kind, char data);
    bool On() const { return on_; }
    bool Present() const { return buffer_ != nullptr; }
    // Writes the trace as text and ends tracing: 0 or the negated platform I/O error.
    int Dump(const char* fileName, bool append, bool inHex, bool allHex);

private:
    std::unique_ptr<uint8_t[]> buffer_; // 2 bytes an entry
    uint32_t capacity_ = 0;
    uint32_t pos_ = 0;
    bool wrapped_ = false;
    std::atomic<bool> on_ = false;
};

// The dispatch log: typed, time-stamped entries in a ring of bytes, oldest discarded first.
// The dispatcher guards it with its mainLock; On() may be asked without the lock, as for the
// trace.
class TKvDispatchLog {
public:
    // scratchSize: the largest block an entry may carry (the dump reads blocks through a
    // buffer of that size). Size 0 keeps no ring: logging is on but every entry is refused.
    void Init(uint32_t size, uint32_t scratchSize);
    void Clear();
    void Abort();
    void Start();
    void Stop();
    bool On() const { return on_; }
    bool Present() const { return buffer_ != nullptr; }
    // Refuses, header and all, an entry that the ring or the dump's scratch buffer cannot hold
    // whole, so that every stored header is followed by its block.
    void Add(TDispatchType type, TDispatchSubType subType, uint32_t time, uint32_t data,
             const void* block, uint32_t blockLength);
    bool Push(const void* bytes, uint32_t length);
    // Removes the oldest entry; true when the ring was already empty. At most blockCapacity
    // block bytes are copied (the rest are dropped) and blockLength tells how many were.
    bool PopLast(TDispatchRecord& header, uint8_t* block, uint32_t blockCapacity,
                 uint32_t& blockLength);
    // Writes the log as text and ends logging: 0 or the negated platform I/O error.
    int Dump(const char* fileName, bool append, bool inHex, bool allHex);

private:
    bool Fits(uint32_t blockLength) const;
    void CopyIn(const uint8_t* from, uint32_t length);
    void CopyOut(uint8_t* to, uint32_t length); // to null: the bytes are dropped

    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t size_ = 0;
    uint32_t write_ = 0;
    uint32_t read_ = 0;
    uint32_t free_ = 0;
    std::vector<uint8_t> scratch_;
    std::atomic<bool> on_ = false;
};

// ---------------------------------------------------------------------------------------------
// The base of the dispatcher's three background threads; each subclass runs its loop in Execute.
// The dispatcher changes their priorities (SetThreadBoost, SetRS485Mode) through this base.
// The threads are declared in kwuser_threads.h; they free themselves when they end and report
// their end through ThreadGone, however Execute ended.
class TKvdDispatcherThread : public TThread {
public:
    explicit TKvdDispatcherThread(TKvdBaseDispatcher* owner);

    // Runs the call on the main thread and returns once it has run.
    void Sync(const std::function<void()>& method);
    // Runs `event` (message, trigger, data) on the main thread through SyncEvent.
    void SyncNotify(uint32_t message, uint32_t trigger, int32_t data, TTriggerMethod event);
    void SyncEvent();

    TKvdBaseDispatcher* const dispatcher;
    uint32_t notifyMsg = 0;
    uint32_t notifyTrigger = 0;
    int32_t notifyData = 0;
    TTriggerMethod notifyEvent;

protected:
    void DoTerminate() override;
};

// ---------------------------------------------------------------------------------------------
// The dispatcher

class TKvdBaseDispatcher {
public:
    explicit TKvdBaseDispatcher(TComponent* owner);
    virtual ~TKvdBaseDispatcher();
    TKvdBaseDispatcher(const TKvdBaseDispatcher&) = delete;
    TKvdBaseDispatcher& operator=(const TKvdBaseDispatcher&) = delete;
    // Closes the device, or finishes a close that a notification left pending. Every device
    // layer's destructor calls it first: the base destructor can no longer reach the layer's
    // operations and only frees what is left.
    void CloseOnDestroy();

    // --- Device operations, in slot order. The base class raises EAbstractError for every
    // one a device layer must provide (all but 11, 17 and 18).
    virtual int EscapeComFunction(int function);                 // 1
    virtual int FlushCom(int queue);                             // 2: 0 output, 1 input
    virtual int GetComError(TComStat& stat);                     // 3
    virtual int GetComEventMask(int mask);                       // 4
    virtual int GetComState(TDCB& dcb);                          // 5
    virtual int ReadCom(uint8_t* buffer, int count);             // 6
    virtual int SetComState(TDCB& dcb);                          // 7
    virtual int WriteCom(const uint8_t* buffer, int count);      // 8
    virtual bool WaitComEvent(uint32_t& eventWord, void* request); // 9
    virtual bool SetupCom(int inSize, int outSize);              // 10
    virtual void DonePortPrim();                                 // 11
    virtual void StartDispatcher();                              // 12
    virtual void StopDispatcher();                               // 13
    virtual int OpenCom(const char* name, uint32_t inSize, uint32_t outSize); // 14
    virtual int CloseCom();                                      // 15
    virtual int ProcessCommunications();                         // 16
    virtual void SetThreadBoost(uint8_t newBoost);               // 17
    virtual void UpdateHandlerFlags(TKvHandlerFlagUpdate update); // 18

    // Platform calls the base class makes on the device directly (modem status, break).
    virtual bool GetComModemStatus(uint32_t& status);
    virtual bool SetComBreak(bool on);
    // GetComError for callers that use no input count (the output side, the flow state): a
    // device layer that asks the driver for that count separately leaves it 0 here.
    virtual int GetComErrorWithoutInput(TComStat& stat);
    // The platform error of the last failed device operation on the calling thread.
    virtual int LastPlatformError() const;
    // For the thread recorded in inputWaiter: blocks until bytes are in the input ring, a
    // message or wake-up arrives for the thread, the application is terminating, or the
    // time-out passes; false when it passed or the application is terminating.
    // A dispatcher whose reader can watch the device itself moves arriving bytes into the ring
    // on the reader's own thread, sparing the hand-over through the dispatcher's threads.
    virtual bool WaitForInput(uint32_t timeoutMs);
    // Called by a thread that stops waiting with WaitForInput: arriving bytes go back to the
    // dispatcher's threads before the thread next sleeps in WaitMessage (it usually waits for
    // input again first).
    virtual void EndInputWaits();
    // Gives arriving bytes back to the dispatcher's threads at once; the dispatch thread's pass
    // calls it once nobody is recorded in inputWaiter.
    virtual void TakeInputBack();

    // --- Opening and closing, line settings
    int InitPort(const char* name, int32_t baud, uint32_t parity, int8_t dataBits, int8_t stopBits,
                 uint32_t inSize, uint32_t outSize, bool dtr, bool rts);
    int InitSocket(uint32_t inSize, uint32_t outSize);
    int SetCommBuffers(uint32_t inSize, uint32_t outSize);
    void DonePort();
    // In a child forked from the process that opened the port, where the dispatcher's threads
    // are missing and the line, trace and log are still the parent's.
    bool InheritedFromParent() const;
    // Lets go of this process's hold on such a device and of nothing else: the line is not
    // touched, and the dispatcher, whose locks missing threads may hold, is not used again.
    virtual void ReleaseInheritedDevice();
    // Keep-current values: baud 0, parity 5, data bits 9, stop bits 3.
    int SetLine(int32_t baud, uint32_t parity, int8_t dataBits, int8_t stopBits);
    int ChangeBaud(int32_t baud); // SetLine with only the rate changed
    void GetLine(int32_t& baud, uint16_t& parity, int8_t& dataBits, int8_t& stopBits);
    void WaitTxSent();
    int SetCommStateFix(TDCB& dcb);
    void ThreadGone(TKvdDispatcherThread* thread);
    // Wakes the thread recorded in inputWaiter, if any; called once bytes reached the input ring.
    void NotifyInputArrived();
    // Whether the calling thread reads for the running avail or data notification: the
    // notifying thread, whose direct handlers run on it, or a thread running a window or
    // synchronized handler of it. Other readers take bytes past those the handlers took.
    bool ReadsForNotification() const;
    static uint32_t TranslateBaud(uint32_t baudOrCode);
    // Milliseconds that 18 characters of the block's framing take to leave the UART, rounded up;
    // a time under 1 ms counts twice. 0 for a rate of 0.
    static uint32_t TxSentDelay(const TDCB& dcb);

    // --- Data operations
    bool CharReady();
    int PeekChar(char& c, uint32_t index); // index from 1
    int GetChar(char& c);
    int PeekBlock(void* buffer, uint32_t length);
    int GetBlock(void* buffer, uint32_t length);
    int PutChar(char c);
    int PutString(const std::string& text);
    int PutBlock(const void* buffer, uint32_t length);
    void AddStringToLog(const std::string& text);
    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();
    int FlushInBuffer();
    int FlushOutBuffer();
    void BufferSizes(uint32_t& inSize, uint32_t& outSize);

    // --- The output ring as device layers and the write thread use it, all under outputLock.
    // Used count by the ring rule (full flag, head, tail); 0 without a ring.
    uint32_t OutputRingUsed();
    // Copies bytes in at outHead, wrapping at the end; false (nothing stored) when they do
    // not fit.
    bool StoreOutput(const uint8_t* buffer, uint32_t count);
    // Takes count sent bytes off at outTail; an emptied ring restarts at 0.
    void AdvanceOutput(uint32_t count);
    // Drops everything queued (an output flush).
    void DiscardOutput();

    // --- Status and flow control
    // Reads the device status into comStat (under outputLock) and adds its error bits to
    // lineErrors; returns the status read, for threads that must not read comStat unlocked.
    TComStat RefreshStatus();
    // The same for the output side and the flow state, which use no input count: the device
    // is not asked for it, and comStat keeps the one read last.
    TComStat RefreshOutputStatus();
    TComStat ReadDeviceStatus(bool withInputCount); // the two above
    int GetLineError();
    bool CheckLineBreak();
    uint8_t GetModemStatus();
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    void MapEventsToMS(uint32_t events);
    int SetModem(bool dtr, bool rts);
    int SetDtr(bool on);
    int SetRts(bool on);
    void SendBreak(uint32_t ticks, bool yield);
    void SetBreak(bool on);
    int HWFlowOptions(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int HWFlowState();
    int SWFlowEnable(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int SWFlowDisable();
    int SWFlowState();
    int SWFlowChars(char on, char off);
    int GetFlowOptions(uint32_t& hwOptions, uint32_t& swOptions, uint32_t& bufferFull,
                       uint32_t& bufferResume, char& onChar, char& offChar);
    int SetDataPointer(void* pointer, uint32_t index);
    int GetDataPointer(void*& pointer, uint32_t index);
    void OptionsOn(uint32_t mask);
    void OptionsOff(uint32_t mask);
    bool OptionsAreOn(uint32_t mask);
    void SetRS485Mode(bool on);
    void SetBaseAddress(uint16_t address);
    uint16_t GetBaseAddress();

    // --- Tracing
    int InitTracing(uint32_t entries);
    int ClearTracing();
    void AbortTracing();
    void StartTracing();
    void StopTracing();
    void AddTraceEntry(char kind, char data);
    int DumpTrace(const char* fileName, bool inHex, bool allHex);
    int AppendTrace(const char* fileName, bool inHex, bool allHex);

    // --- Dispatch log
    void InitDispatchLogging(uint32_t size);
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    void StartDispatchLogging();
    void StopDispatchLogging();
    // Appends the entry whether or not logging is paused; the dispatcher's own records go
    // through LogDispatchEntry, which adds them only while logging is on.
    void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t data,
                          const void* block, uint32_t blockLength);
    void LogDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t data,
                          const void* block, uint32_t blockLength);
    uint32_t GetDispatchTime();
    int DumpDispatchLog(const char* fileName, bool inHex, bool allHex);
    int AppendDispatchLog(const char* fileName, bool inHex, bool allHex);

    // --- Triggers
    int32_t AddDataTrigger(const char* pattern, bool ignoreCase);
    int32_t AddDataTriggerLen(const char* pattern, bool ignoreCase, uint32_t length);
    int32_t AddTimerTrigger();
    int32_t AddStatusTrigger(uint32_t kind);
    void ChangeLengthTrigger(uint32_t length);
    int RemoveTrigger(uint32_t handle);
    // record receives the found record (null when deleted or not found).
    int FindTriggerFromHandle(uint32_t handle, bool deleteIt, TTriggerType& kind, void** record);
    int SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate);
    int ExtendTimer(uint32_t handle, int32_t ticks);
    int TimerTicksRemaining(uint32_t handle, int32_t& remaining);
    int SetStatusTrigger(uint32_t handle, uint32_t value, bool activate);
    static uint32_t ClassifyStatusTrigger(uint32_t handle);
    void SaveTriggers(TTriggerSave& save);
    void RestoreTriggers(TTriggerSave& save);
    static void ClearSaveBuffers(TTriggerSave& save);
    void RemoveAllTriggers();
    void ResetStatusHits();
    void ResetDataTriggers();
    uint32_t GetTriggerHandle();
    // Moves what the device holds into the input ring and wakes the input waiter.
    bool ExtractData();
    // The receive step of a reader's own wait, once the device is readable: the read takes
    // whatever is there without first asking for the count. A waiter that is the caller is not
    // woken: it goes on to the bytes itself, and the wake-up would only end its next wait at
    // once. True when bytes came.
    bool ExtractDataAsReader();
    bool CheckTimerTriggers();
    bool CheckStatusTriggers();
    bool CheckReceiveTriggers();
    // Whether bytes that arrive concern a data or avail trigger or a status trigger.
    bool ReceiveChecksArmed();
    bool CheckTriggers();

    // --- Handlers and notification
    void RegisterWndTriggerHandler(HWND window);
    void RegisterProcTriggerHandler(TTriggerProc proc);
    void RegisterEventTriggerHandler(TTriggerMethod method);
    void RegisterSyncEventTriggerHandler(TTriggerMethod method);
    void DeregisterWndTriggerHandler(HWND window);
    void DeregisterProcTriggerHandler(TTriggerProc proc);
    void DeregisterEventTriggerHandler(TTriggerMethod method);
    void SetEventBusy(bool& wasBusy, bool busy);
    bool SendNotify(uint32_t message, uint32_t wParam, uint32_t data);

    // --- Fields
    TComponent* owner;
    int32_t portHandle = -1;
    int32_t deviceId = -1;
    uint32_t openedInProcess = 0; // CurrentProcessId of the open
    std::atomic<uint32_t> lineErrors{0};
    uint32_t inQueueSize = 0;
    uint32_t outBufferSize = 0;
    std::atomic<uint32_t> modemStatus{0};
    TComStat comStat;
    TDCB deviceControl;
    uint32_t currentBaud = 115200;
    uint32_t options = 0;
    bool dtrOn = false;
    bool dtrByFlow = false;
    bool rtsOn = false;
    bool rtsByFlow = false;
    HWND notifyWindow = 0;
    bool rs485 = false;
    uint16_t portBase = 0;
    std::atomic<bool> portHandlerEnabled{false};
    std::atomic<bool> handlerServiceNeeded{false};
    std::vector<TWndHandler> wndHandlers;
    std::vector<TProcHandler> procHandlers;
    std::vector<TEventHandler> eventHandlers;
    std::vector<TTimerTrigger> timerTriggers;
    std::vector<TDataTrigger> dataTriggers;
    std::vector<TStatusTrigger> statusTriggers;
    uint32_t scanPos = 0;
    // Bytes ever taken from the input ring (read, committed by a notification or flushed),
    // under inputLock, and the same count as far as the receive check has scanned.
    uint64_t inTakenCount = 0;
    uint64_t scanCount = 0;
    uint32_t availThreshold = 0;
    std::atomic<bool> statusHitFlag{false};
    std::atomic<bool> inDataNotify{false};
    uint32_t handlerRead = 0;
    uint32_t maxHandlerRead = 0;
    // While a data notification runs: the bytes, as offsets from inTail, that a reader outside
    // the handlers took or a flush dropped; the handlers step over them (under inputLock).
    uint32_t outsideFrom = 0;
    uint32_t outsideTo = 0;
    std::atomic<bool> inputFull{false};
    // scanCount when the last avail notification was given: a ring position would come round
    // to it again after every 8192 bytes and hide the new ones.
    uint64_t availNotifyCount = 0;
    std::atomic<bool> stopThreads{false};
    std::atomic<TKvdDispatcherThread*> eventThread{nullptr};
    std::atomic<TKvdDispatcherThread*> dispatchThread{nullptr};
    std::atomic<TKvdDispatcherThread*> writeThread{nullptr};
    // Held while a thread is cleared from the three fields above and while one of them is used:
    // a thread frees itself right after clearing its field.
    TCriticalSection threadFieldsLock;
    uint8_t boost = 0;
    TCriticalSection mainLock;
    TCriticalSection outputLock;
    TCriticalSection inputLock;
    // The six thread signals; null when not created.
    TEvent* commEventSignal = nullptr;
    TEvent* dispatchDoneSignal = nullptr;
    TEvent* ackSignal = nullptr;
    TEvent* outputReadySignal = nullptr;
    TEvent* writeDoneSignal = nullptr;
    TEvent* outputFlushSignal = nullptr;
    // Set while no write thread runs: a flush waiting for the write thread's confirmation ends
    // also when the thread does, whatever became of the confirmation.
    TEvent writeThreadGone{true, true};
    std::atomic<uint32_t> eventWord{0};
    // Counts the event words the event thread has handed to the dispatch thread: a dispatch
    // pass releases the event thread only once it has read the latest one.
    std::atomic<uint32_t> eventsHandedOver{0};
    std::atomic<bool> ringEdge{false};
    uint8_t* outBuffer = nullptr;
    std::atomic<uint32_t> outHead{0};
    std::atomic<uint32_t> outTail{0};
    std::atomic<bool> outFull{false};
    // Set (under outputLock) from an output flush's request until the ring has been emptied:
    // the write thread takes no run meanwhile.
    bool outputFlushing = false;
    // Set while the output ring is empty, so that WaitTxSent blocks instead of polling.
    TEvent outputEmptySignal{true, true};
    uint8_t* inBuffer = nullptr;
    std::atomic<uint32_t> inHead{0};
    std::atomic<uint32_t> inTail{0};
    // Set while a notification is on its way or a wait holds the dispatcher; the two holders
    // are kept apart (under mainLock), so that neither one's end lifts the other's hold.
    std::atomic<bool> notifyBusy{false};
    bool notifying = false;
    bool busyHeld = false;
    std::atomic<bool> closePending{false};
    std::atomic<bool> purgePending{false};
    std::atomic<bool> outputSentFlag{false};
    // Set by every send, cleared by WaitTxSent: without a send since, no byte of ours can still
    // be leaving the UART.
    std::atomic<bool> sentSinceTxWait{false};
    TKvTraceQueue trace;
    TKvDispatchLog dlog;
    uint32_t logTimeBase = 0;
    uint32_t handleCounter = 1;
    std::atomic<bool> threadsActive{false};
    std::atomic<bool> donePending{false};
    std::atomic<int32_t> threadCount{0};
    void* dataPointers[3] = {nullptr, nullptr, nullptr};
    // Threads waiting in StopDispatcher for the threads to end: [0] a thread from outside, [1]
    // the dispatch thread finishing a close. Every thread that ends wakes both.
    std::atomic<ThreadId> stopWaiters[2] = {};
    // Threads started and not completely ended: counting itself off here is the last thing a
    // thread does with the dispatcher, after ThreadGone.
    std::atomic<int32_t> threadsAlive{0};
    // A thread blocked in a wait on this port's input (the port component's waits); the
    // dispatch thread wakes it when bytes arrive. 0 when nobody waits.
    std::atomic<ThreadId> inputWaiter{0};
    // The window to tell, with msgDeferredClose, once the last thread has ended: set by the
    // port window when a deferred close arrives while the threads still run. 0 when none.
    std::atomic<HWND> closeWhenThreadsGone{0};
};

// ---------------------------------------------------------------------------------------------
// The port list: every dispatcher is registered at construction; its index is its portHandle.

void LockPortList();
void UnlockPortList();
// The registered dispatcher at a port handle, or null; call with the port list locked.
TKvdBaseDispatcher* PortListEntry(int32_t portHandle);
int32_t PortListCount();
// The registered dispatcher whose open device has the handle and that passes isClass (for
// example a dynamic_cast test), or null.
TKvdBaseDispatcher* GetTComRecPtr(int32_t deviceHandle, bool (*isClass)(TKvdBaseDispatcher*));

// Marks the calling thread, for the scope's lifetime, as reading for the dispatcher's running
// avail or data notification (ReadsForNotification): the dispatcher sets it around its own
// handler calls, the hidden port window and synchronized handlers around theirs.
class TNotificationReader {
public:
    explicit TNotificationReader(const TKvdBaseDispatcher& d);
    ~TNotificationReader();
    TNotificationReader(const TNotificationReader&) = delete;
    TNotificationReader& operator=(const TNotificationReader&) = delete;

private:
    const TKvdBaseDispatcher* previous_;
};

// The hidden port window: class "kwComWindow", registered once per process.
constexpr const char* KwComWindowClassName = "kwComWindow";
bool RegisterKwComWindowClass();
LRESULT KwComWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace kivo
