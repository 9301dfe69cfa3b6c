#include "tests/cli/child_process.h"
#include "tests/fakes/child_exit.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>

namespace brinomar::testing {

namespace {

using TClock = std::chrono::steady_clock;

int MillisecondsLeft(TClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

std::string ProgramPath(const std::string& name) {
    return std::string(KIVO_BIN_DIR) + "/" + name;
}

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::string& errorFile,
                             const std::vector<std::string>& environment, int terminal) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp(environment);
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view inherited(*e);
        const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
        const bool replaced =
            std::any_of(environment.begin(), environment.end(), [name](const std::string& entry) {
                return std::string_view(entry).starts_with(name);
            });
        if (!replaced) {
            envp.emplace_back(inherited);
        }
    }
    std::vector<char*> argPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(envp);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        // The tests signal their children: none may start with a stop signal ignored because
        // the test itself was (nohup, a background job).
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signal, SIG_DFL);
        }
        const int err =
            terminal >= 0 ? terminal : open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out[1], STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        const int in = terminal >= 0 ? terminal : open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        execve(argPointers[0], argPointers.data(), envPointers.data());
        _exit(127);
    }
    close(out[1]);
    output_ = out[0];
}

TChildProcess::~TChildProcess() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseOutput();
}

bool TChildProcess::FillBuffer(int timeoutMs) {
    pollfd fd{output_, POLLIN, 0};
    if (output_ < 0 || poll(&fd, 1, timeoutMs) != 1) {
        return false;
    }
    char chunk[4096];
    const ssize_t got = read(output_, chunk, sizeof chunk);
    if (got <= 0) {
        CloseOutput();
        return false;
    }
    buffered_.append(chunk, static_cast<size_t>(got));
    return true;
}

std::optional<std::string> TChildProcess::ReadLine(int timeoutMs) {
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    size_t end;
    while ((end = buffered_.find('\n')) == std::string::npos) {
        if (!FillBuffer(MillisecondsLeft(deadline))) {
            return std::nullopt;
        }
    }
    std::string line = buffered_.substr(0, end);
    buffered_.erase(0, end + 1);
    return line;
}

std::vector<std::string> TChildProcess::ReadLines(int timeoutMs) {
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> lines;
    while (std::optional<std::string> line = ReadLine(MillisecondsLeft(deadline))) {
        lines.push_back(std::move(*line));
    }
    return lines;
}

void TChildProcess::CloseOutput() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
}

void TChildProcess::Signal(int signal) {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, signal);
    }
}

int TChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0 || status_ >= 0) {
        return status_;
    }
    status_ = kivo::testing::WaitChildExit(pid_, timeoutMs);
    return status_;
}

TTestTerminal::TTestTerminal(int columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) == 0) {
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
    }
}

TTestTerminal::~TTestTerminal() {
    Release();
    if (master_ >= 0) {
        close(master_);
    }
}

void TTestTerminal::Release() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

void TTestTerminal::Type(const std::string& text) {
    if (write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        output_ += "\n[typing failed]\n";
    }
}

// Once nobody has the terminal open any more, reading its far end fails (EIO).
const std::string& TTestTerminal::ReadUntil(const std::string& text, int timeoutMs) {
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.empty() || output_.find(text) == std::string::npos) {
        pollfd fd{master_, POLLIN, 0};
        if (master_ < 0 || poll(&fd, 1, MillisecondsLeft(deadline)) != 1) {
            break;
        }
        char chunk[4096];
        const ssize_t got = read(master_, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        output_.append(chunk, static_cast<size_t>(got));
    }
    return output_;
}

} // namespace brinomar::testing
