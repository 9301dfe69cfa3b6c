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
    TChildProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::string& errorFile, const std::vector<std::string>& environment = {});
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

} // namespace brinomar::testing
