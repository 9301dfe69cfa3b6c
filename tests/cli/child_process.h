// Programs of this build run as child processes: the device simulator and brinomar-flash. The
// child's standard output comes back through a pipe, line by line; its standard error goes to
// a file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace brinomar::testing {

std::string ProgramPath(const std::string& name); // in the build's bin directory

class TChildProcess {
public:
    // Starts `program` (a path) with `args`; `environment` entries ("NAME=value") are added to
    // the child's environment, in place of inherited values of the same names.
    // With a `terminal` descriptor the child's standard input and error are that terminal
    // instead of /dev/null and `errorFile`.
    TChildProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::string& errorFile, const std::vector<std::string>& environment = {},
                  int terminal = -1);
    ~TChildProcess(); // a child still running is killed
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // The next line of standard output without its line end; nothing when the output ended or
    // no line came within the time.
    std::optional<std::string> ReadLine(int timeoutMs);
    // The lines that follow until the child closes its output (or the time is up).
    std::vector<std::string> ReadLines(int timeoutMs);

    // Stops reading: the child's further output goes into a pipe without a reader.
    void CloseOutput();
    void Signal(int signal);
    // The exit status, 128 + the signal for a child ended by one, or -1 when it has not ended
    // within the time.
    int Wait(int timeoutMs);

private:
    bool FillBuffer(int timeoutMs);

    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
    std::string buffered_;
};

// A terminal for a child to sit at: a pseudo-terminal pair of the given width, whose far end the
// test reads and types into.
class TTestTerminal {
public:
    explicit TTestTerminal(int columns = 80);
    ~TTestTerminal();
    TTestTerminal(const TTestTerminal&) = delete;
    TTestTerminal& operator=(const TTestTerminal&) = delete;

    // The terminal for TChildProcess; -1 when no pair could be opened.
    int Terminal() const { return slave_; }
    // Leaves the terminal to the child alone, so that its end ends the output.
    void Release();
    void Type(const std::string& text);
    // Reads until the output holds `text` (empty: until the child has gone) or the time is up;
    // returns everything read so far.
    const std::string& ReadUntil(const std::string& text, int timeoutMs);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string output_;
};

} // namespace brinomar::testing
