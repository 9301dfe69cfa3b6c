#include "comm/platform/winmsg.h"

#include "comm/platform/framework.h"
#include "comm/platform/sync.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kivo {

namespace {

struct SentItem;

// The message queue of one thread. Only the owning thread takes messages out of it; any
// thread may put messages in. `arrived` is waited on only by the owning thread.
struct ThreadQueue {
    explicit ThreadQueue(ThreadId threadId) : id(threadId) {}
    const ThreadId id;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<TMsg> posted;
    std::deque<std::shared_ptr<SentItem>> sent;
    bool quitPending = false;
    int32_t quitCode = 0;
    bool unseen = false; // something arrived since the thread last looked at its queue
    bool woken = false;
    bool retired = false; // the thread has ended: nothing more is accepted
    std::shared_ptr<THostLoop> host;
    // The eventfd of BeginPolledWait, made on first use; signalled while polling is set.
    // pollFdSignalled tells the next wait whether there is a signal to drain.
    std::atomic<int> pollFd{-1};
    std::atomic<bool> polling{false};
    std::atomic<bool> pollFdSignalled{false};

    ~ThreadQueue() {
        if (pollFd >= 0) {
            close(pollFd);
        }
    }
};

// A message sent to another thread, or a call handed to the main thread. The sender waits on
// its own queue; the fields below `sender` are guarded by the sender's queue lock.
struct SentItem {
    TMsg msg;
    std::function<void()> call;
    std::shared_ptr<ThreadQueue> sender;
    bool finished = false;
    bool handled = false;
    LRESULT result = 0;
    std::exception_ptr error;
};

struct WindowRecord {
    std::string className;
    TWndProc proc = nullptr;
    std::shared_ptr<ThreadQueue> owner;
    std::vector<uint8_t> extra;
};

// Lock order: the registry lock may be held while one queue lock is taken, never the other way
// round, and no code holds two queue locks at once.
struct Registry {
    std::mutex lock;
    std::map<std::string, TWndClass> classes;
    std::unordered_map<HWND, WindowRecord> windows;
    std::unordered_map<ThreadId, std::weak_ptr<ThreadQueue>> queues;
    HWND lastWindow = 0;
    ThreadId lastThread = 0;
};

constexpr int32_t kMaxWindowExtra = 4096;

Registry& TheRegistry() {
    static Registry& registry = *new Registry;
    return registry;
}

std::atomic<ThreadId> mainThread{0};
thread_local uint32_t lastError = 0;

bool Fail(uint32_t error) {
    lastError = error;
    return false;
}

void RetireQueue(const std::shared_ptr<ThreadQueue>& queue);

// What a thread keeps here: its message queue, created on first use, and the calls to make
// before its next wait. It is let go when the thread ends, and the queue retired. The state
// lives in plain thread storage, which stays usable after the thread's objects are gone: a
// thread that comes back after that starts over. A thread other than the main one (a
// thread_local port closed after the release) lets go of it again once its last object is
// gone; the main thread closing a port from a static destructor during exit keeps it, as the
// process is ending anyway.
struct ThreadState {
    std::shared_ptr<ThreadQueue> queue;
    std::vector<std::pair<uintptr_t, std::function<void()>>> beforeNextWait;
};
alignas(ThreadState) thread_local unsigned char tStateStorage[sizeof(ThreadState)];
thread_local ThreadState* tState = nullptr;
thread_local bool tStateReleased = false;

void ReleaseThreadState() {
    ThreadState* state = std::exchange(tState, nullptr);
    tStateReleased = true;
    if (state == nullptr) {
        return;
    }
    if (state->queue) {
        RetireQueue(state->queue);
    }
    state->~ThreadState();
}

struct ThreadStateRelease {
    ~ThreadStateRelease() { ReleaseThreadState(); }
};

// The system runs a key's destructor after every thread_local object of an ending thread is
// gone (again if it calls in once more), but not for a thread that ends the process.
struct LateRelease {
    pthread_key_t key{};
    bool made = pthread_key_create(&key, [](void*) { ReleaseThreadState(); }) == 0;
};

ThreadState& CurrentState() {
    if (tState == nullptr) {
        tState = new (tStateStorage) ThreadState;
        if (!tStateReleased) {
            static thread_local ThreadStateRelease release;
        } else {
            static const LateRelease late;
            if (late.made) {
                pthread_setspecific(late.key, tState);
            }
        }
    }
    return *tState;
}

const std::shared_ptr<ThreadQueue>& CurrentQueuePtr() {
    std::shared_ptr<ThreadQueue>& queue = CurrentState().queue;
    if (!queue) {
        Registry& registry = TheRegistry();
        std::lock_guard guard(registry.lock);
        // After 2^32 threads the numbers come round: 0 means no thread, and a number still
        // held by a running thread must not be handed out again.
        do {
            ++registry.lastThread;
        } while (registry.lastThread == 0 || registry.queues.count(registry.lastThread) != 0);
        const ThreadId id = registry.lastThread;
        queue = std::make_shared<ThreadQueue>(id);
        registry.queues[id] = queue;
    }
    return queue;
}

ThreadQueue& CurrentQueue() {
    return *CurrentQueuePtr();
}

std::shared_ptr<ThreadQueue> QueueOf(ThreadId thread) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    auto found = registry.queues.find(thread);
    return found == registry.queues.end() ? nullptr : found->second.lock();
}

// Reports the end of a sent item to its sender and wakes the sender.
void FinishSent(SentItem& item, bool handled, LRESULT result, std::exception_ptr error) {
    ThreadQueue& sender = *item.sender;
    {
        std::lock_guard guard(sender.lock);
        item.finished = true;
        item.handled = handled;
        item.result = result;
        item.error = std::move(error);
    }
    sender.arrived.notify_all();
}

void FailAll(const std::vector<std::shared_ptr<SentItem>>& items) {
    for (const auto& item : items) {
        FinishSent(*item, false, 0, nullptr);
    }
}

void RetireQueue(const std::shared_ptr<ThreadQueue>& queue) {
    Registry& registry = TheRegistry();
    std::vector<std::shared_ptr<SentItem>> abandoned;
    {
        std::lock_guard guard(registry.lock);
        registry.queues.erase(queue->id);
        std::erase_if(registry.windows,
                      [&](const auto& entry) { return entry.second.owner == queue; });
        std::lock_guard queueGuard(queue->lock);
        queue->retired = true;
        queue->posted.clear();
        abandoned.assign(queue->sent.begin(), queue->sent.end());
        queue->sent.clear();
        queue->host.reset();
    }
    FailAll(abandoned);
}

// Wakes the queue's thread after something was put in; called without any lock held, so a
// polled wait that began before the arrival was recorded is seen here.
void Notify(ThreadQueue& queue, const std::shared_ptr<THostLoop>& host) {
    queue.arrived.notify_all();
    if (queue.polling) {
        // Marked after the signal, so that no signal can be left without its mark.
        SignalEvent(queue.pollFd);
        queue.pollFdSignalled = true;
    }
    if (host) {
        host->Wake();
    }
}

// Called with the queue lock held: false when the queue no longer accepts messages.
bool PushPosted(ThreadQueue& queue, const TMsg& msg, std::shared_ptr<THostLoop>& host) {
    if (queue.retired) {
        return Fail(kErrorInvalidThreadId);
    }
    queue.posted.push_back(msg);
    queue.unseen = true;
    host = queue.host;
    return true;
}

bool PushSent(ThreadQueue& queue, const std::shared_ptr<SentItem>& item,
              std::shared_ptr<THostLoop>& host) {
    if (queue.retired) {
        return Fail(kErrorInvalidThreadId);
    }
    queue.sent.push_back(item);
    queue.unseen = true;
    host = queue.host;
    return true;
}

TWndProc ProcOf(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    auto found = registry.windows.find(window);
    return found == registry.windows.end() ? nullptr : found->second.proc;
}

// Runs one sent item on the calling (owning) thread. An exception from a window procedure stays
// on this thread, where it is shown; one from a handed-over call travels back to its caller.
void HandleSent(SentItem& item) {
    if (item.call) {
        try {
            item.call();
            FinishSent(item, true, 0, nullptr);
        } catch (...) {
            FinishSent(item, true, 0, std::current_exception());
        }
        return;
    }
    TWndProc proc = ProcOf(item.msg.hwnd);
    if (proc == nullptr) {
        FinishSent(item, false, 0, nullptr);
        return;
    }
    LRESULT result = 0;
    try {
        result = proc(item.msg.hwnd, item.msg.message, item.msg.wParam, item.msg.lParam);
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception("Unknown exception in a window procedure"));
    }
    FinishSent(item, true, result, nullptr);
}

void ServeSentMessages(ThreadQueue& queue) {
    for (;;) {
        std::shared_ptr<SentItem> item;
        {
            std::lock_guard guard(queue.lock);
            if (queue.sent.empty()) {
                return;
            }
            item = std::move(queue.sent.front());
            queue.sent.pop_front();
        }
        HandleSent(*item);
    }
}

enum class SendOutcome { Handled, TimedOut, Failed };

SendOutcome OutcomeOf(const SentItem& item) {
    return item.handled ? SendOutcome::Handled : SendOutcome::Failed;
}

// After the sender's time-out: takes the item back if its handling has not started.
SendOutcome Withdraw(ThreadQueue& target, const std::shared_ptr<SentItem>& item,
                     ThreadQueue& self) {
    {
        std::lock_guard guard(target.lock);
        auto found = std::find(target.sent.begin(), target.sent.end(), item);
        if (found != target.sent.end()) {
            target.sent.erase(found);
            return SendOutcome::TimedOut;
        }
    }
    std::lock_guard guard(self.lock);
    return item->finished ? OutcomeOf(*item) : SendOutcome::TimedOut;
}

// Blocks the sender until its item is finished or the time-out passes. Unless `serveOwn` is
// false, messages sent to the sender's own thread meanwhile are handled, so that two threads
// sending to each other both make progress.
SendOutcome AwaitSent(ThreadQueue& target, const std::shared_ptr<SentItem>& item, bool serveOwn,
                      uint32_t timeoutMs) {
    ThreadQueue& self = *item->sender;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto ready = [&] { return item->finished || (serveOwn && !self.sent.empty()); };
    for (;;) {
        std::unique_lock lock(self.lock);
        if (timeoutMs == INFINITE) {
            self.arrived.wait(lock, ready);
        } else if (!self.arrived.wait_until(lock, deadline, ready)) {
            lock.unlock();
            return Withdraw(target, item, self);
        }
        if (item->finished) {
            return OutcomeOf(*item);
        }
        lock.unlock();
        ServeSentMessages(self);
    }
}

std::shared_ptr<SentItem> NewSentItem(const TMsg& msg, std::function<void()> call,
                                      std::shared_ptr<ThreadQueue> sender) {
    auto item = std::make_shared<SentItem>();
    item->msg = msg;
    item->call = std::move(call);
    item->sender = std::move(sender);
    return item;
}

bool InRange(UINT message, UINT first, UINT last) {
    return (first == 0 && last == 0) || (message >= first && message <= last);
}

size_t PostedCount(ThreadQueue& queue) {
    std::lock_guard guard(queue.lock);
    return queue.posted.size();
}

bool HasInput(const ThreadQueue& queue) {
    return queue.woken || queue.unseen;
}

// Called with the queue lock held when WaitMessage returns.
void MarkLookedAt(ThreadQueue& queue) {
    queue.woken = false;
    queue.unseen = false;
}

std::shared_ptr<THostLoop> HostOf(ThreadQueue& queue) {
    std::lock_guard guard(queue.lock);
    return queue.host;
}

void RememberMainThread() {
    ThreadId none = 0;
    mainThread.compare_exchange_strong(none, GetCurrentThreadId());
}

// The thread that loads the library (static initialisation runs on the main thread) is the
// main thread unless the program names another one.
const bool mainThreadRemembered = (RememberMainThread(), true);

} // namespace

uint32_t LastMessageError() {
    return lastError;
}

ThreadId GetCurrentThreadId() {
    return CurrentQueue().id;
}

ThreadId MainThreadId() {
    if (mainThread.load() == 0) {
        RememberMainThread();
    }
    return mainThread.load();
}

void SetMainThreadId(ThreadId thread) {
    mainThread.store(thread);
}

void SetLastThreadIdForTesting(ThreadId thread) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    registry.lastThread = thread;
}

bool RegisterClass(const TWndClass& windowClass) {
    if (windowClass.ClassName.empty() || windowClass.WndProc == nullptr ||
        windowClass.WndExtra < 0 || windowClass.WndExtra > kMaxWindowExtra) {
        return Fail(kErrorInvalidParameter);
    }
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    if (!registry.classes.emplace(windowClass.ClassName, windowClass).second) {
        return Fail(kErrorClassAlreadyExists);
    }
    return true;
}

bool UnregisterClass(const std::string& className) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    if (registry.classes.count(className) == 0) {
        return Fail(kErrorClassDoesNotExist);
    }
    bool inUse =
        std::any_of(registry.windows.begin(), registry.windows.end(),
                    [&](const auto& entry) { return entry.second.className == className; });
    if (inUse) {
        return Fail(kErrorClassHasWindows);
    }
    registry.classes.erase(className);
    return true;
}

bool IsClassRegistered(const std::string& className) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    return registry.classes.count(className) != 0;
}

HWND CreateWindow(const std::string& className) {
    std::shared_ptr<ThreadQueue> owner = CurrentQueuePtr();
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    auto found = registry.classes.find(className);
    if (found == registry.classes.end()) {
        Fail(kErrorClassDoesNotExist);
        return 0;
    }
    do {
        ++registry.lastWindow;
    } while (registry.lastWindow == 0 || registry.windows.count(registry.lastWindow) != 0);
    WindowRecord& record = registry.windows[registry.lastWindow];
    record.className = className;
    record.proc = found->second.WndProc;
    record.owner = owner;
    record.extra.assign(static_cast<size_t>(found->second.WndExtra), 0);
    return registry.lastWindow;
}

bool DestroyWindow(HWND window) {
    Registry& registry = TheRegistry();
    std::vector<std::shared_ptr<SentItem>> released;
    {
        std::lock_guard guard(registry.lock);
        auto found = registry.windows.find(window);
        if (found == registry.windows.end()) {
            return Fail(kErrorInvalidWindowHandle);
        }
        std::shared_ptr<ThreadQueue> owner = found->second.owner;
        registry.windows.erase(found);
        std::lock_guard queueGuard(owner->lock);
        std::erase_if(owner->posted, [&](const TMsg& msg) { return msg.hwnd == window; });
        auto forWindow = [&](const auto& item) { return !item->call && item->msg.hwnd == window; };
        std::copy_if(owner->sent.begin(), owner->sent.end(), std::back_inserter(released),
                     forWindow);
        std::erase_if(owner->sent, forWindow);
    }
    FailAll(released);
    return true;
}

bool IsWindow(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    return registry.windows.count(window) != 0;
}

ThreadId GetWindowThreadId(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    auto found = registry.windows.find(window);
    return found == registry.windows.end() ? 0 : found->second.owner->id;
}

namespace {

// The 4 extra bytes at `offset` of a window, or null (with the error set).
uint8_t* ExtraBytes(Registry& registry, HWND window, int32_t offset) {
    auto found = registry.windows.find(window);
    if (found == registry.windows.end()) {
        Fail(kErrorInvalidWindowHandle);
        return nullptr;
    }
    std::vector<uint8_t>& extra = found->second.extra;
    if (offset < 0 || static_cast<size_t>(offset) + sizeof(int32_t) > extra.size()) {
        Fail(kErrorInvalidIndex);
        return nullptr;
    }
    return extra.data() + offset;
}

} // namespace

int32_t GetWindowLong(HWND window, int32_t offset) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    int32_t value = 0;
    if (uint8_t* bytes = ExtraBytes(registry, window, offset)) {
        std::memcpy(&value, bytes, sizeof value);
    }
    return value;
}

int32_t SetWindowLong(HWND window, int32_t offset, int32_t value) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    int32_t previous = 0;
    if (uint8_t* bytes = ExtraBytes(registry, window, offset)) {
        std::memcpy(&previous, bytes, sizeof previous);
        std::memcpy(bytes, &value, sizeof value);
    }
    return previous;
}

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == 0) {
        return PostThreadMessage(GetCurrentThreadId(), message, wParam, lParam);
    }
    Registry& registry = TheRegistry();
    std::shared_ptr<ThreadQueue> owner;
    std::shared_ptr<THostLoop> host;
    {
        // Queued under the registry lock, so that DestroyWindow cannot miss the message.
        std::lock_guard guard(registry.lock);
        auto found = registry.windows.find(window);
        if (found == registry.windows.end()) {
            return Fail(kErrorInvalidWindowHandle);
        }
        owner = found->second.owner;
        std::lock_guard queueGuard(owner->lock);
        if (!PushPosted(*owner, TMsg{window, message, wParam, lParam}, host)) {
            return false;
        }
    }
    Notify(*owner, host);
    return true;
}

bool PostThreadMessage(ThreadId thread, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> queue = QueueOf(thread);
    if (!queue) {
        return Fail(kErrorInvalidThreadId);
    }
    std::shared_ptr<THostLoop> host;
    {
        std::lock_guard guard(queue->lock);
        if (!PushPosted(*queue, TMsg{0, message, wParam, lParam}, host)) {
            return false;
        }
    }
    Notify(*queue, host);
    return true;
}

void PostQuitMessage(int32_t exitCode) {
    ThreadQueue& queue = CurrentQueue();
    std::shared_ptr<THostLoop> host;
    {
        std::lock_guard guard(queue.lock);
        queue.quitPending = true;
        queue.quitCode = exitCode;
        host = queue.host;
    }
    if (host) {
        host->Wake();
    }
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    SendMessageTimeout(window, message, wParam, lParam, SMTO_NORMAL, INFINITE, &result);
    return result;
}

bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                        uint32_t timeoutMs, LRESULT* result) {
    const std::shared_ptr<ThreadQueue>& self = CurrentQueuePtr();
    const TMsg msg{window, message, wParam, lParam};
    Registry& registry = TheRegistry();
    std::shared_ptr<ThreadQueue> owner;
    std::shared_ptr<SentItem> item;
    std::shared_ptr<THostLoop> host;
    TWndProc directProc = nullptr;
    {
        std::lock_guard guard(registry.lock);
        auto found = registry.windows.find(window);
        if (found == registry.windows.end()) {
            return Fail(kErrorInvalidWindowHandle);
        }
        owner = found->second.owner;
        if (owner == self) {
            directProc = found->second.proc;
        } else {
            item = NewSentItem(msg, nullptr, self);
            std::lock_guard queueGuard(owner->lock);
            if (!PushSent(*owner, item, host)) {
                return false;
            }
        }
    }
    if (directProc != nullptr) {
        LRESULT direct = directProc(window, message, wParam, lParam);
        if (result != nullptr) {
            *result = direct;
        }
        return true;
    }
    Notify(*owner, host);
    switch (AwaitSent(*owner, item, (flags & SMTO_BLOCK) == 0, timeoutMs)) {
    case SendOutcome::Handled:
        if (result != nullptr) {
            *result = item->result;
        }
        return true;
    case SendOutcome::TimedOut:
        return Fail(kErrorTimeout);
    case SendOutcome::Failed:
        break;
    }
    return Fail(kErrorInvalidWindowHandle);
}

bool PeekMessage(TMsg& msg, HWND window, UINT firstMessage, UINT lastMessage, UINT removeFlags) {
    ThreadQueue& queue = CurrentQueue();
    ServeSentMessages(queue);
    const bool remove = (removeFlags & PM_REMOVE) != 0;
    std::lock_guard guard(queue.lock);
    // A message sent after the sent ones were served is still to be looked at: marked seen, a
    // WaitMessage that follows would sleep with it queued.
    queue.unseen = !queue.sent.empty();
    auto found = std::find_if(queue.posted.begin(), queue.posted.end(), [&](const TMsg& m) {
        return (window == 0 || m.hwnd == window) && InRange(m.message, firstMessage, lastMessage);
    });
    if (found != queue.posted.end()) {
        msg = *found;
        if (remove) {
            queue.posted.erase(found);
        }
        return true;
    }
    if (queue.quitPending && window == 0 && InRange(WM_QUIT, firstMessage, lastMessage)) {
        msg = TMsg{0, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0};
        queue.quitPending = !remove;
        return true;
    }
    return false;
}

bool GetMessage(TMsg& msg) {
    while (!PeekMessage(msg, 0, 0, 0, PM_REMOVE)) {
        WaitMessage(INFINITE);
    }
    return msg.message != WM_QUIT;
}

bool TranslateMessage(const TMsg&) {
    // There is no keyboard input to turn into character messages.
    return false;
}

LRESULT DispatchMessage(const TMsg& msg) {
    if (msg.hwnd == 0) {
        return 0;
    }
    TWndProc proc = ProcOf(msg.hwnd);
    return proc == nullptr ? 0 : proc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

namespace {

void RunBeforeWaitCalls() {
    auto& beforeNextWait = CurrentState().beforeNextWait;
    auto calls = std::move(beforeNextWait);
    beforeNextWait.clear();
    for (auto& [key, call] : calls) {
        call();
    }
}

} // namespace

// An empty call is nothing to make: kept, it would throw out of the wait and lose the calls
// after it.
void CallBeforeNextWait(uintptr_t key, std::function<void()> call) {
    WithdrawBeforeNextWait(key);
    if (call) {
        CurrentState().beforeNextWait.emplace_back(key, std::move(call));
    }
}

void WithdrawBeforeNextWait(uintptr_t key) {
    std::erase_if(CurrentState().beforeNextWait,
                  [key](const auto& entry) { return entry.first == key; });
}

bool WaitMessage(uint32_t timeoutMs) {
    RunBeforeWaitCalls();
    ThreadQueue& queue = CurrentQueue();
    if (std::shared_ptr<THostLoop> host = HostOf(queue)) {
        {
            std::lock_guard guard(queue.lock);
            if (HasInput(queue)) {
                MarkLookedAt(queue);
                return true;
            }
        }
        host->WaitForEvents(timeoutMs);
        std::lock_guard guard(queue.lock);
        bool any = HasInput(queue);
        MarkLookedAt(queue);
        return any;
    }
    std::unique_lock lock(queue.lock);
    auto ready = [&] { return HasInput(queue); };
    bool any = true;
    if (timeoutMs == INFINITE) {
        queue.arrived.wait(lock, ready);
    } else {
        any = queue.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    MarkLookedAt(queue);
    return any;
}

int BeginPolledWait() {
    ThreadQueue& queue = CurrentQueue();
    std::lock_guard guard(queue.lock);
    if (queue.host) {
        return kNoPolledWait;
    }
    if (HasInput(queue)) {
        MarkLookedAt(queue);
        return kMessagesWaiting;
    }
    if (queue.pollFd < 0) {
        queue.pollFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (queue.pollFd < 0) {
            return kNoPolledWait;
        }
    }
    // A signal left over from an earlier wait would end this one early. One that comes late,
    // from a wake-up this thread has already seen, still can: callers wait again then.
    if (queue.pollFdSignalled.exchange(false)) {
        DrainEvent(queue.pollFd);
    }
    queue.polling = true;
    return queue.pollFd;
}

bool EndPolledWait() {
    ThreadQueue& queue = CurrentQueue();
    std::lock_guard guard(queue.lock);
    queue.polling = false;
    const bool any = HasInput(queue);
    MarkLookedAt(queue);
    return any;
}

bool WakeThread(ThreadId thread) {
    std::shared_ptr<ThreadQueue> queue = QueueOf(thread);
    if (!queue) {
        return Fail(kErrorInvalidThreadId);
    }
    std::shared_ptr<THostLoop> host;
    {
        std::lock_guard guard(queue->lock);
        queue->woken = true;
        host = queue->host;
    }
    Notify(*queue, host);
    return true;
}

void ProcessMessages() {
    ThreadQueue& queue = CurrentQueue();
    ServeSentMessages(queue);
    // Only what was queued when the pass began: a handler that posts again (a close that waits
    // for threads to end) must not keep the pass going for ever.
    TMsg msg;
    for (size_t pending = PostedCount(queue); pending > 0; --pending) {
        if (!PeekMessage(msg, 0, 0, 0, PM_REMOVE)) {
            break;
        }
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int32_t>(msg.wParam));
            break;
        }
        TranslateMessage(msg);
        DispatchMessage(msg);
    }
    ProcessHostLoopOnce();
}

bool RunOnMainThread(const std::function<void()>& call) {
    if (!call) {
        return Fail(kErrorInvalidParameter);
    }
    ThreadId main = MainThreadId();
    if (GetCurrentThreadId() == main) {
        call();
        return true;
    }
    std::shared_ptr<ThreadQueue> target = QueueOf(main);
    if (!target) {
        return Fail(kErrorInvalidThreadId);
    }
    std::shared_ptr<SentItem> item = NewSentItem(TMsg{}, call, CurrentQueuePtr());
    std::shared_ptr<THostLoop> host;
    {
        std::lock_guard guard(target->lock);
        if (!PushSent(*target, item, host)) {
            return false;
        }
    }
    Notify(*target, host);
    if (AwaitSent(*target, item, true, INFINITE) != SendOutcome::Handled) {
        return Fail(kErrorInvalidThreadId);
    }
    if (item->error) {
        std::rethrow_exception(item->error);
    }
    return true;
}

void SetHostLoop(std::shared_ptr<THostLoop> host) {
    ThreadQueue& queue = CurrentQueue();
    std::lock_guard guard(queue.lock);
    queue.host = std::move(host);
}

void ProcessHostLoopOnce() {
    if (std::shared_ptr<THostLoop> host = HostOf(CurrentQueue())) {
        host->RunOnce();
    }
}

} // namespace kivo
