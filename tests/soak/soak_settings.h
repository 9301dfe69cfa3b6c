// What the soak tests share: their lengths, set from the environment for long local runs, and
// the count of the process's threads and descriptors that each checks is level at the end.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace kivo::testing {

// A positive number from the environment variable `name`, else `fallback`.
inline uint32_t EnvNumber(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    const long value = text != nullptr ? std::atol(text) : 0;
    return value > 0 ? static_cast<uint32_t>(value) : fallback;
}

// The entries of a directory such as /proc/self/task or /proc/self/fd.
inline size_t EntriesIn(const char* directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

} // namespace kivo::testing
