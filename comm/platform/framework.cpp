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

// The process's first descriptor of ours: it must not take the number of a standard stream the
// program was started without, nor may any descriptor after it.
int MakeTerminatingEvent() {
    KeepStandardStreamsOpen();
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

// Made at first use, which may be a static constructor of the program that runs before this
// unit's own initialisation (a wait there would otherwise poll descriptor 0), and before main
// at the latest, so that a signal handler finds it made.
int TerminatingFd() {
    static const int fd = MakeTerminatingEvent();
    return fd;
}

std::atomic<bool> terminating{false};
const int terminatingFdMade = TerminatingFd();

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
    const int fd = TerminatingFd();
    if (fd >= 0) {
        value ? SignalEvent(fd) : DrainEvent(fd);
    }
}

int ApplicationTerminatingFd() noexcept {
    return TerminatingFd();
}

} // namespace kivo
