// Window messages: a small message system of our own that behaves like the classic desktop one
// for what the library uses.
//
// - Every thread that touches the layer has one message queue. A window belongs to the thread
//   that created it; its messages are handled on that thread by its class's window procedure.
// - PostMessage queues a message and returns. SendMessage/SendMessageTimeout run the window
//   procedure on the window's thread and wait for its result (a direct call when the caller owns
//   the window). A sent message is handled when the owning thread looks at its queue
//   (PeekMessage, GetMessage, WaitMessage's caller, or while it is itself waiting in a send), so
//   two threads sending to each other do not deadlock.
// - The main thread (the thread that loaded the library, unless set otherwise) can be handed a
//   call from any thread with RunOnMainThread; it is served the same way as a sent message.
// - A host event loop (the Qt window) can be hooked onto a thread: it is woken whenever
//   something arrives for that thread and is run once by ProcessHostLoopOnce.
//
// Functions answer bad handles and arguments with a false/0 result; LastMessageError tells why.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kivo {

using HWND = uint32_t; // 0 = no window
using UINT = uint32_t;
using WPARAM = uint32_t;
using LPARAM = int32_t;
using LRESULT = int32_t;
using ThreadId = uint32_t; // 0 = no thread

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

// SendMessageTimeout flags. SMTO_BLOCK: the sender handles nothing addressed to its own thread
// while it waits. SMTO_ABORTIFHUNG is accepted and has no further effect.
constexpr UINT SMTO_NORMAL = 0;
constexpr UINT SMTO_BLOCK = 1;
constexpr UINT SMTO_ABORTIFHUNG = 2;

// Reasons for a failed call, as LastMessageError reports them.
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr uint32_t kErrorInvalidIndex = 1413;
constexpr uint32_t kErrorClassAlreadyExists = 1410;
constexpr uint32_t kErrorClassDoesNotExist = 1411;
constexpr uint32_t kErrorClassHasWindows = 1412;
constexpr uint32_t kErrorInvalidThreadId = 1444;
constexpr uint32_t kErrorTimeout = 1460;

struct TMsg {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

using TWndProc = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct TWndClass {
    std::string ClassName;
    TWndProc WndProc = nullptr;
    int32_t WndExtra = 0; // bytes of per-window storage for GetWindowLong/SetWindowLong
};

// The calling thread's error of the last failed call of this layer.
uint32_t LastMessageError();

// Threads. The identifier is small, never 0, not reused before 2^32 threads have asked for
// one (and never while its thread runs), and valid for WakeThread and PostThreadMessage as soon
// as the thread has asked for it.
ThreadId GetCurrentThreadId();
ThreadId MainThreadId();
void SetMainThreadId(ThreadId thread);
// Makes `thread` the last identifier handed out, so that tests can reach the wrap.
void SetLastThreadIdForTesting(ThreadId thread);

// Window classes and windows. Windows are hidden: they exist to receive messages.
bool RegisterClass(const TWndClass& windowClass);
bool UnregisterClass(const std::string& className); // fails while windows of the class exist
bool IsClassRegistered(const std::string& className);
HWND CreateWindow(const std::string& className); // owned by the calling thread
// Destroys a window from any thread: its queued messages are dropped and every sender waiting
// on it is released with a failure. A message being handled at that moment completes.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);
ThreadId GetWindowThreadId(HWND window);
// Extra bytes: a 32-bit value at a byte offset; the setter returns the previous value.
int32_t GetWindowLong(HWND window, int32_t offset);
int32_t SetWindowLong(HWND window, int32_t offset, int32_t value);

// Posting and sending. PostMessage with window 0 posts a thread message to the caller's queue.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
bool PostThreadMessage(ThreadId thread, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int32_t exitCode);
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// True when the window procedure ran; false on time-out (kErrorTimeout), a bad or destroyed
// window, or a window whose thread has ended. A sent message that has not started when the
// time-out passes is withdrawn.
bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                        uint32_t timeoutMs, LRESULT* result = nullptr);

// Receiving, on the thread that owns the queue. PeekMessage first handles every message sent
// to the thread, then looks for a posted message for the window (0 = any) within the message
// range (0, 0 = all); the quit message comes only when no other posted message matches.
bool PeekMessage(TMsg& msg, HWND window, UINT firstMessage, UINT lastMessage, UINT removeFlags);
// Blocks until a message is there; false when it is the quit message.
bool GetMessage(TMsg& msg);
bool TranslateMessage(const TMsg& msg);
// Runs the target window's procedure; a thread message or a destroyed window gives 0.
LRESULT DispatchMessage(const TMsg& msg);
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Blocks the calling thread until a message is posted or sent to it, WakeThread is called for
// it, or the time-out passes; true unless it timed out. Arrivals since the thread last looked
// (its last PeekMessage or WaitMessage) end the wait at once, so nothing that came in between
// is missed, while messages it has already seen and left queued do not end it again: a wait
// that does not handle messages sleeps rather than spins. With a host loop hooked onto the
// thread, the host loop waits instead (and handles its events).
bool WaitMessage(uint32_t timeoutMs);
// A wait for messages that joins a poll of the caller's own descriptors (a reader waiting for
// its device as well): BeginPolledWait returns a descriptor that becomes readable when
// WaitMessage would end, kMessagesWaiting when WaitMessage would return at once (nothing more to
// do), or kNoPolledWait when the thread's waits go through a host loop (use WaitMessage then).
// After the poll, EndPolledWait says what WaitMessage would have returned.
constexpr int kMessagesWaiting = -1;
constexpr int kNoPolledWait = -2;
int BeginPolledWait();
bool EndPolledWait();
// A call the calling thread makes before its next WaitMessage, once: how a thread that took
// over work from others while it waited (a reader watching its device) hands it back when it
// goes to sleep elsewhere. A second call under the same key replaces the first; the key's call
// can be withdrawn before it is made.
void CallBeforeNextWait(uintptr_t key, std::function<void()> call);
void WithdrawBeforeNextWait(uintptr_t key);
// Ends (or pre-empts) the WaitMessage of a thread: how the dispatcher's threads tell a waiting
// thread that there is something for it to look at. False for an unknown thread.
bool WakeThread(ThreadId thread);

// Handles everything waiting in the caller's queue (sent, then posted, in order) and runs the
// host loop once. A quit message stays posted and ends the pass.
void ProcessMessages();

// Runs the call on the main thread and returns once it has run; a direct call on the main
// thread. An exception escaping the call is raised again in the caller. False when the main
// thread has ended and the call did not run.
bool RunOnMainThread(const std::function<void()>& call);

// The host event loop of a thread (installed by the Qt window for its thread). Wake is called
// from any thread and must be cheap and thread-safe; the others run on the hooked thread.
class THostLoop {
public:
    virtual ~THostLoop() = default;
    virtual void Wake() = 0;                            // something arrived for the thread
    virtual void RunOnce() = 0;                         // handle pending host events, no wait
    virtual void WaitForEvents(uint32_t timeoutMs) = 0; // block until host events or time-out
};

// Hooks the host loop onto the calling thread; null removes it.
void SetHostLoop(std::shared_ptr<THostLoop> host);
// Runs the calling thread's host loop once, when one is hooked.
void ProcessHostLoopOnce();

} // namespace kivo
