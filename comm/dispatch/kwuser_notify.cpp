// Unit Kwuser: trigger handlers and notification, and the hidden port window.
//
// SendNotify runs on a dispatcher thread while the main thread may register or deregister
// handlers. The lists are read by index under mainLock, a copy of the record is taken, and the
// lock is released before the handler runs: handlers may call any dispatcher operation, and a
// window or synchronized handler runs on the main thread, which may itself be waiting for
// mainLock. Deregistrations during a notification only mark their record, so indexes stay
// valid until the notification has ended.
#include "comm/dispatch/kwuser.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "comm/platform/framework.h"

namespace kivo {

namespace {

constexpr uint32_t WindowAnswerTimeoutMs = 3000;

uint16_t LowWord(uint32_t value) {
    return static_cast<uint16_t>(value & 0xFFFF);
}

uint16_t HighWord(uint32_t value) {
    return static_cast<uint16_t>(value >> 16);
}

// Runs one handler; an exception it raises is shown and the next handler is served, so that
// one failing handler neither ends the dispatcher thread nor leaves the dispatcher busy.
template <typename Call>
void RunHandler(Call&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception("Unknown exception in a trigger handler"));
    }
}

template <typename Record>
void PurgeDeleted(std::vector<Record>& list) {
    std::erase_if(list, [](const Record& r) { return r.deleted; });
}

// Removes the records deregistered while a notification or a wait held the dispatcher busy.
// Call under mainLock.
void PurgeDeregistered(TKvdBaseDispatcher& d) {
    if (!d.purgePending) {
        return;
    }
    PurgeDeleted(d.wndHandlers);
    PurgeDeleted(d.procHandlers);
    PurgeDeleted(d.eventHandlers);
    d.purgePending = false;
    d.UpdateHandlerFlags(fuKeepPort);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Registration

void TKvdBaseDispatcher::RegisterWndTriggerHandler(HWND window) {
    TCriticalSectionGuard guard(mainLock);
    wndHandlers.push_back(TWndHandler{window, false});
    handlerServiceNeeded = true;
    LogDispatchEntry(dtTriggerHandlerAlloc, dstWndHandler, window, nullptr, 0);
}

void TKvdBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) {
    TCriticalSectionGuard guard(mainLock);
    procHandlers.push_back(TProcHandler{proc, false});
    handlerServiceNeeded = true;
    LogDispatchEntry(dtTriggerHandlerAlloc, dstProcHandler, 0, nullptr, 0);
}

namespace {

void AddEventHandler(TKvdBaseDispatcher& d, TTriggerMethod method, bool synchronized) {
    TCriticalSectionGuard guard(d.mainLock);
    d.eventHandlers.push_back(TEventHandler{method, false, synchronized});
    d.handlerServiceNeeded = true;
    d.LogDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, synchronized ? 1 : 0, nullptr, 0);
}

// Removes the first live record that `matches`: at once, or, while a notification or a wait
// holds the dispatcher busy, by marking it for removal when that ends. Call under mainLock.
template <typename Record, typename Matches>
void RemoveHandler(TKvdBaseDispatcher& d, std::vector<Record>& list, Matches matches,
                   TDispatchSubType subType, uint32_t logData) {
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const Record& r) { return !r.deleted && matches(r); });
    if (found == list.end()) {
        d.UpdateHandlerFlags(fuKeepPort);
        return;
    }
    if (d.notifyBusy) {
        found->deleted = true;
        d.purgePending = true;
    } else {
        list.erase(found);
        d.UpdateHandlerFlags(fuKeepPort);
    }
    d.LogDispatchEntry(dtTriggerHandlerDispose, subType, logData, nullptr, 0);
}

} // namespace

void TKvdBaseDispatcher::RegisterEventTriggerHandler(TTriggerMethod method) {
    AddEventHandler(*this, method, false);
}

void TKvdBaseDispatcher::RegisterSyncEventTriggerHandler(TTriggerMethod method) {
    AddEventHandler(*this, method, true);
}

void TKvdBaseDispatcher::DeregisterWndTriggerHandler(HWND window) {
    TCriticalSectionGuard guard(mainLock);
    RemoveHandler(
        *this, wndHandlers, [window](const TWndHandler& h) { return h.window == window; },
        dstWndHandler, window);
}

void TKvdBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
    TCriticalSectionGuard guard(mainLock);
    RemoveHandler(
        *this, procHandlers, [proc](const TProcHandler& h) { return h.proc == proc; },
        dstProcHandler, 0);
}

void TKvdBaseDispatcher::DeregisterEventTriggerHandler(TTriggerMethod method) {
    TCriticalSectionGuard guard(mainLock);
    RemoveHandler(
        *this, eventHandlers,
        [method](const TEventHandler& h) { return h.method.SameRoutine(method); }, dstEventHandler,
        0);
}

void TKvdBaseDispatcher::UpdateHandlerFlags(TKvHandlerFlagUpdate update) {
    TCriticalSectionGuard guard(mainLock);
    const bool others = wndHandlers.size() > 1 || !procHandlers.empty() || !eventHandlers.empty();
    switch (update) {
    case fuKeepPort:
        handlerServiceNeeded = others || portHandlerEnabled;
        break;
    case fuEnablePort:
        portHandlerEnabled = true;
        handlerServiceNeeded = true;
        break;
    case fuDisablePort:
        portHandlerEnabled = false;
        handlerServiceNeeded = others;
        break;
    }
}

// wasBusy is the hold of an earlier caller, not a notification in progress: a wait started
// during a notification must still lift its own hold when it ends, and the notification's end
// must leave the wait's hold in place.
void TKvdBaseDispatcher::SetEventBusy(bool& wasBusy, bool busy) {
    TCriticalSectionGuard guard(mainLock);
    wasBusy = busyHeld;
    busyHeld = busy;
    notifyBusy = busyHeld || notifying;
    // No notification is running: what a wait's caller deregistered meanwhile goes now, instead
    // of staying until some later notification ends.
    if (!notifyBusy) {
        PurgeDeregistered(*this);
    }
}

// ---------------------------------------------------------------------------------------------
// Notification

namespace {

// One notification on its way through the handler lists.
struct TNotification {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
};

// The record at `index` of a handler list, copied under mainLock; false past the end.
template <typename Record>
bool HandlerAt(TKvdBaseDispatcher& d, const std::vector<Record>& list, size_t index, Record& copy) {
    TCriticalSectionGuard guard(d.mainLock);
    if (index >= list.size()) {
        return false;
    }
    copy = list[index];
    return true;
}

void StartHandlerRead(TKvdBaseDispatcher& d) {
    TCriticalSectionGuard guard(d.inputLock);
    d.handlerRead = 0;
}

// After a handler: false when a close was asked for meanwhile; otherwise the bytes it read
// count towards the notification's commit.
bool FinishHandlerRead(TKvdBaseDispatcher& d) {
    if (d.closePending) {
        return false;
    }
    TCriticalSectionGuard guard(d.inputLock);
    d.maxHandlerRead = std::max(d.maxHandlerRead, d.handlerRead);
    return true;
}

void CallEventHandler(const TKvdBaseDispatcher& d, const TEventHandler& handler,
                      const TNotification& n) {
    if (!handler.method) {
        return;
    }
    if (handler.synchronized) {
        RunOnMainThread([&] {
            TNotificationReader reading(d);
            handler.method(n.message, n.wParam, n.lParam);
        });
    } else {
        handler.method(n.message, n.wParam, n.lParam);
    }
}

void CallProcHandler(const TProcHandler& handler, const TNotification& n) {
    if (handler.proc != nullptr) {
        handler.proc(n.message, n.wParam, n.lParam);
    }
}

// A window that does not answer in time, or has gone, does not hold up the others.
void CallWndHandler(const TWndHandler& handler, const TNotification& n) {
    SendMessageTimeout(handler.window, n.message, n.wParam, n.lParam, SMTO_BLOCK,
                       WindowAnswerTimeoutMs);
}

// Serves every live record of one list in order; false when a close ended the notification.
template <typename Record, typename Call>
bool ServeHandlers(TKvdBaseDispatcher& d, const std::vector<Record>& list, const TNotification& n,
                   Call call) {
    Record handler{};
    for (size_t index = 0; HandlerAt(d, list, index, handler); ++index) {
        StartHandlerRead(d);
        if (!handler.deleted) {
            RunHandler([&] { call(handler, n); });
        }
        if (!FinishHandlerRead(d)) {
            return false;
        }
    }
    return true;
}

bool WindowHandlersServed(TKvdBaseDispatcher& d) {
    TCriticalSectionGuard guard(d.mainLock);
    return d.wndHandlers.size() > 1 || d.portHandlerEnabled;
}

// Ends notification-read mode. After a pass that reached every handler the read position
// moves past the most bytes any handler took; an avail notification succeeds only when that is
// every announced byte. A pass cut short by a close commits nothing.
bool EndDataNotify(TKvdBaseDispatcher& d, const TNotification& n, bool served) {
    TCriticalSectionGuard guard(d.inputLock);
    d.inDataNotify = false;
    if (!served) {
        return false;
    }
    d.inTail = (d.inTail + d.maxHandlerRead) % InBufferSize;
    d.inTakenCount += d.maxHandlerRead;
    // As after an outside read: the room made for what the device still holds is taken at once,
    // not at the dispatch thread's next timed pass.
    if (d.maxHandlerRead > 0 && d.inputFull.exchange(false) && d.commEventSignal != nullptr) {
        d.commEventSignal->Set();
    }
    d.handlerRead = 0;
    return n.message != msgTriggerAvail || d.maxHandlerRead == n.wParam;
}

void EndNotification(TKvdBaseDispatcher& d) {
    TCriticalSectionGuard guard(d.mainLock);
    d.notifying = false;
    d.notifyBusy = d.busyHeld;
    PurgeDeregistered(d);
}

} // namespace

bool TKvdBaseDispatcher::SendNotify(uint32_t message, uint32_t wParam, uint32_t data) {
    // A handler closed the port: a check that goes on to its next firing trigger tells nobody.
    if (closePending) {
        return false;
    }
    if (!handlerServiceNeeded) {
        return true;
    }
    {
        TCriticalSectionGuard guard(mainLock);
        notifying = true;
        notifyBusy = true;
    }
    const bool dataNotify = message == msgTriggerAvail || message == msgTriggerData;
    {
        TCriticalSectionGuard guard(inputLock);
        maxHandlerRead = 0;
        outsideFrom = 0;
        outsideTo = 0;
        inDataNotify = dataNotify;
    }
    // The low word carries the count or length; a larger count would spill into the
    // dispatcher handle of the high word and route the message to another port.
    const uint32_t lowWord = std::min<uint32_t>(data, 0xFFFF);
    const TNotification n{message, wParam,
                          static_cast<int32_t>(static_cast<uint32_t>(portHandle) << 16 | lowWord)};
    TNotificationReader reading(*this);
    const bool served =
        ServeHandlers(*this, eventHandlers, n,
                      [this](const TEventHandler& handler, const TNotification& notification) {
                          CallEventHandler(*this, handler, notification);
                      }) &&
        ServeHandlers(*this, procHandlers, n, CallProcHandler) &&
        (!WindowHandlersServed(*this) || ServeHandlers(*this, wndHandlers, n, CallWndHandler));
    const bool result = dataNotify ? EndDataNotify(*this, n, served) : served;
    EndNotification(*this);
    return result;
}

namespace {

// The dispatcher whose notification the calling thread is reading for, if any.
thread_local const TKvdBaseDispatcher* tReadingFor = nullptr;

} // namespace

TNotificationReader::TNotificationReader(const TKvdBaseDispatcher& d)
    : previous_(std::exchange(tReadingFor, &d)) {}

TNotificationReader::~TNotificationReader() {
    tReadingFor = previous_;
}

bool TKvdBaseDispatcher::ReadsForNotification() const {
    return tReadingFor == this;
}

// ---------------------------------------------------------------------------------------------
// The hidden port window

bool RegisterKwComWindowClass() {
    static std::mutex registering;
    std::lock_guard guard(registering);
    if (IsClassRegistered(KwComWindowClassName)) {
        return true;
    }
    TWndClass windowClass;
    windowClass.ClassName = KwComWindowClassName;
    windowClass.WndProc = KwComWindowProc;
    windowClass.WndExtra = 4;
    return RegisterClass(windowClass);
}

namespace {

bool IsPortWindowMessage(UINT message) {
    return (message >= msgTriggerAvail && message <= msgTriggerStatus) ||
           message == msgDeferredClose;
}

// The dispatcher at a port handle and the port component that owns it, or null.
TKvdBaseDispatcher* OwnedDispatcherAt(uint16_t portHandle, IKvdTriggerOwner*& owner) {
    owner = nullptr;
    LockPortList();
    TKvdBaseDispatcher* dispatcher = PortListEntry(portHandle);
    if (dispatcher != nullptr) {
        owner = dynamic_cast<IKvdTriggerOwner*>(dispatcher->owner);
    }
    UnlockPortList();
    return owner != nullptr ? dispatcher : nullptr;
}

void RouteStatus(IKvdTriggerOwner& owner, uint16_t handle) {
    owner.TriggerStatus(handle);
    switch (TKvdBaseDispatcher::ClassifyStatusTrigger(handle)) {
    case skModem:
        owner.TriggerModemStatus();
        break;
    case skLine: {
        // The break state is read first: reading the line error leaves the break bit alone,
        // reading the break clears it.
        const bool lineBreak = owner.LineBreakNow();
        owner.TriggerLineError(owner.LineErrorNow(), lineBreak);
        break;
    }
    case skOutFree:
        owner.TriggerOutbuffFree();
        break;
    case skOutUsed:
        owner.TriggerOutbuffUsed();
        break;
    case skOutSent:
        owner.TriggerOutSent();
        break;
    default:
        break;
    }
}

void RouteNotification(IKvdTriggerOwner& owner, UINT message, WPARAM wParam, LPARAM lParam) {
    const uint16_t handle = LowWord(wParam);
    const uint16_t data = message == msgTriggerAvail ? handle : LowWord(lParam);
    owner.Trigger(static_cast<uint16_t>(message), handle, data);
    switch (message) {
    case msgTriggerAvail:
        owner.TriggerAvail(handle);
        break;
    case msgTriggerData:
        owner.TriggerData(handle);
        break;
    case msgTriggerTimer:
        owner.TriggerTimer(handle);
        break;
    default:
        RouteStatus(owner, handle);
        break;
    }
}

// The close completes once the dispatcher's threads have ended. While they still run, the last
// one to end posts the message again (ThreadGone), so the owner's thread sleeps meanwhile
// instead of handling the same message over and over.
void RouteDeferredClose(TKvdBaseDispatcher& dispatcher, IKvdTriggerOwner& owner) {
    if (dispatcher.threadsActive) {
        dispatcher.closeWhenThreadsGone = owner.TriggerWindowHandle();
        // The threads may have ended between the test and the store; then nobody else will
        // take the request back.
        if (dispatcher.threadsActive || dispatcher.closeWhenThreadsGone.exchange(0) == 0) {
            return;
        }
    }
    owner.CompleteDeferredClose();
}

} // namespace

LRESULT KwComWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsPortWindowMessage(message)) {
        return DefWindowProc(window, message, wParam, lParam);
    }
    IKvdTriggerOwner* owner;
    TKvdBaseDispatcher* dispatcher = OwnedDispatcherAt(HighWord(lParam), owner);
    if (dispatcher == nullptr) {
        return 0;
    }
    try {
        if (message == msgDeferredClose) {
            RouteDeferredClose(*dispatcher, *owner);
        } else {
            TNotificationReader reading(*dispatcher);
            RouteNotification(*owner, message, wParam, lParam);
        }
    } catch (const std::exception& e) {
        if (GetCurrentThreadId() == MainThreadId()) {
            ShowException(e);
        }
    } catch (...) {
        // Nothing the port component raises may escape into the message loop.
    }
    return 0;
}

} // namespace kivo
