#include "comm/platform/framework.h"

#include "comm/platform/sync.h"
#include "comm/platform/terminal.h"

#include <sys/eventfd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kivo {

namespace {

std::mutex handlerLock;

void PrintException(const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
}

void PrintMessage(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

ExceptionDisplay& CurrentDisplay() {
    static ExceptionDisplay display = PrintException;
    return display;
}

MessageBoxHandler& CurrentMessageBox() {
    static MessageBoxHandler handler = PrintMessage;
    return handler;
}

// The process's first descriptor of ours, made before main: it must not take the number of a
// standard stream the program was started without, nor may any descriptor after it.
int MakeTerminatingEvent() {
    KeepStandardStreamsOpen();
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

std::atomic<bool> terminating{false};
const int terminatingFd = MakeTerminatingEvent();

} // namespace

ExceptionDisplay SetExceptionDisplay(ExceptionDisplay display) {
    std::lock_guard guard(handlerLock);
    ExceptionDisplay previous = std::move(CurrentDisplay());
    CurrentDisplay() = display ? std::move(display) : ExceptionDisplay(PrintException);
    return previous;
}

void ShowException(const std::exception& e) {
    ExceptionDisplay display;
    {
        std::lock_guard guard(handlerLock);
        display = CurrentDisplay();
    }
    display(e);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard guard(handlerLock);
    MessageBoxHandler previous = std::move(CurrentMessageBox());
    CurrentMessageBox() = handler ? std::move(handler) : MessageBoxHandler(PrintMessage);
    return previous;
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
    MessageBoxHandler handler;
    {
        std::lock_guard guard(handlerLock);
        handler = CurrentMessageBox();
    }
    handler(text, caption);
}

bool ApplicationTerminating() noexcept {
    return terminating.load(std::memory_order_acquire);
}

void SetApplicationTerminating(bool value) noexcept {
    terminating.store(value, std::memory_order_release);
    if (terminatingFd >= 0) {
        value ? SignalEvent(terminatingFd) : DrainEvent(terminatingFd);
    }
}

int ApplicationTerminatingFd() noexcept {
    return terminatingFd;
}

} // namespace kivo
