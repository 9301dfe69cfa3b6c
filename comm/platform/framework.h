// The small application framework the library and the updater stand on: the exception base
// classes, the replaceable standard exception display and user message box, and the
// process-wide "application is terminating" flag.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace kivo {

// Root of every exception the library raises: a message text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }

private:
    std::string message_;
};

// An input/output failure with the operating system's error number.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    int ErrorCode;
};

// Memory could not be obtained; carries the framework's own message.
class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
};

// A virtual operation that a derived class must provide was called on the base class.
class EAbstractError : public Exception {
public:
    EAbstractError() : Exception("Abstract Error") {}
};

// The standard exception display: the window shows a message box, the command line prints to
// stderr, tests record. Returns the previous handler so that callers can restore it.
using ExceptionDisplay = std::function<void(const std::exception&)>;
ExceptionDisplay SetExceptionDisplay(ExceptionDisplay display);
void ShowException(const std::exception& e);

// A plain message box with one OK button: text and caption.
using MessageBoxHandler = std::function<void(const std::string& text, const std::string& caption)>;
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
void ShowMessageBox(const std::string& text, const std::string& caption);

// Set when the main window closes or the command-line program is asked to stop (SIGINT,
// SIGTERM, SIGHUP); waits end early when they see it. Safe to set from a signal handler.
bool ApplicationTerminating() noexcept;
void SetApplicationTerminating(bool terminating) noexcept;
// A descriptor that is readable while the application is terminating, for waits that poll
// descriptors: they wake as soon as it is set, also from a signal handler on another thread.
int ApplicationTerminatingFd() noexcept;

} // namespace kivo
