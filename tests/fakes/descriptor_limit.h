// Lowers the process's limit of open descriptors so that only a given number more can be opened,
// until Restore or the end of the object: for the paths that run out of descriptors.
#pragma once

#include <sys/resource.h>

namespace kivo::testing {

class TDescriptorLimit {
public:
    explicit TDescriptorLimit(int room);
    ~TDescriptorLimit() { Restore(); }
    TDescriptorLimit(const TDescriptorLimit&) = delete;
    TDescriptorLimit& operator=(const TDescriptorLimit&) = delete;

    bool Lowered() const { return lowered_; }
    void Restore();

private:
    rlimit saved_{};
    bool lowered_ = false;
};

} // namespace kivo::testing
