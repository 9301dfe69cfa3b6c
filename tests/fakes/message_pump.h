// Running the test thread's messages until something has happened.
#pragma once

#include <cstdint>
#include <functional>

namespace kivo {
class TKvdBaseDispatcher;
}

namespace kivo::testing {

// Handles the thread's messages until `done` holds or `timeoutMs` has passed; false on the
// time-out. While it sleeps, the thread stands as the input waiter of the dispatcher that
// `current` returns (when there is one), so that arriving bytes wake it; conditions that come
// without a wake-up ("the threads have ended") are looked at every 20 ms.
bool PumpUntil(const std::function<bool()>& done, uint32_t timeoutMs,
               const std::function<TKvdBaseDispatcher*()>& current = {});

} // namespace kivo::testing
