#include "tests/fakes/descriptor_limit.h"

#include <fcntl.h>
#include <unistd.h>

namespace kivo::testing {

TDescriptorLimit::TDescriptorLimit(int room) {
    const int lowestFree = open("/dev/null", O_RDONLY);
    if (lowestFree < 0 || getrlimit(RLIMIT_NOFILE, &saved_) != 0) {
        return;
    }
    close(lowestFree);
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + room);
    lowered_ = setrlimit(RLIMIT_NOFILE, &tight) == 0;
}

void TDescriptorLimit::Restore() {
    if (lowered_) {
        setrlimit(RLIMIT_NOFILE, &saved_);
        lowered_ = false;
    }
}

} // namespace kivo::testing
