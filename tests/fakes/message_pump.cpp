#include "tests/fakes/message_pump.h"

#include "comm/dispatch/kwuser.h"
#include "comm/platform/winmsg.h"
#include "comm/util/oomisc.h"

#include <algorithm>

namespace kivo::testing {

bool PumpUntil(const std::function<bool()>& done, uint32_t timeoutMs,
               const std::function<TKvdBaseDispatcher*()>& current) {
    const uint32_t start = KvTimeGetTime();
    for (;;) {
        ProcessMessages();
        if (done()) {
            return true;
        }
        const uint32_t elapsed = KvTimeGetTime() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        TKvdBaseDispatcher* d = current ? current() : nullptr;
        if (d != nullptr) {
            d->inputWaiter = GetCurrentThreadId();
        }
        WaitMessage(std::min<uint32_t>(timeoutMs - elapsed, 20));
        if (d != nullptr && d == current()) {
            d->inputWaiter = 0;
        }
    }
}

} // namespace kivo::testing
