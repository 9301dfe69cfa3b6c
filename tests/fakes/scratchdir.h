// A private directory under the system's temporary directory for the files one test writes,
// removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace kivo::testing {

class TScratchDir {
public:
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // Writes `content` byte for byte and returns the file's path.
    std::string Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// Runs a command through the shell and returns its exit status, or -1 when it did not exit.
int RunShell(const std::string& command);

// `text` quoted for the shell.
std::string ShellQuote(const std::string& text);

} // namespace kivo::testing
