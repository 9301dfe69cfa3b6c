// Test helpers for triggers and notification: a handler that records what reaches it (and can
// read the bytes a notification announces), and a port component stand-in that records the
// calls the hidden port window makes.
#pragma once

#include "comm/dispatch/kwuser.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kivo::testing {

struct TNote {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const TNote&) const = default;
};

inline void PrintTo(const TNote& n, std::ostream* os) {
    *os << std::hex << "{0x" << n.message << ", " << std::dec << n.wParam << ", 0x" << std::hex
        << n.lParam << std::dec << "}";
}

// The lParam a notification of this dispatcher carries with `low` in its low word.
inline int32_t NoteParam(const TKvdBaseDispatcher& port, uint32_t low) {
    return static_cast<int32_t>(static_cast<uint32_t>(port.portHandle) << 16 | low);
}

// Records every notification. With readAnnounced it reads what an avail notification
// announces (wParam bytes) and the pattern length of a data notification, as a port
// component's handler would.
class TNoteRecorder {
public:
    explicit TNoteRecorder(TKvdBaseDispatcher& port) : port_(port) {}

    TTriggerMethod Method() { return TTriggerMethod::Bind<&TNoteRecorder::OnNotify>(this); }

    void OnNotify(uint32_t message, uint32_t wParam, int32_t lParam) {
        notes.push_back(TNote{message, wParam, lParam});
        if (readAnnounced) {
            ReadAnnounced(message, wParam, lParam);
        }
    }

    std::vector<TNote> notes;
    bool readAnnounced = false;
    std::string read; // everything this handler read

private:
    void ReadAnnounced(uint32_t message, uint32_t wParam, int32_t lParam) {
        uint32_t count = 0;
        if (message == msgTriggerAvail) {
            count = wParam;
        } else if (message == msgTriggerData) {
            count = static_cast<uint32_t>(lParam) & 0xFFFF;
        }
        std::string bytes(count, '\0');
        if (count != 0 && port_.GetBlock(bytes.data(), count) == static_cast<int>(count)) {
            read += bytes;
        }
    }

    TKvdBaseDispatcher& port_;
};

// A port component as the hidden window sees it: every call is recorded as a line of text.
class TOwnerRecorder : public TComponent, public IKvdTriggerOwner {
public:
    void Trigger(uint16_t msg, uint16_t handle, uint16_t data) override {
        Log("Trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " +
            std::to_string(data));
    }
    void TriggerAvail(uint16_t count) override { Log("Avail " + std::to_string(count)); }
    void TriggerData(uint16_t handle) override { Log("Data " + std::to_string(handle)); }
    void TriggerStatus(uint16_t handle) override { Log("Status " + std::to_string(handle)); }
    void TriggerTimer(uint16_t handle) override { Log("Timer " + std::to_string(handle)); }
    void TriggerLineError(uint16_t error, bool lineBreak) override {
        Log("LineError " + std::to_string(error) + (lineBreak ? " break" : ""));
    }
    void TriggerModemStatus() override { Log("ModemStatus"); }
    void TriggerOutbuffFree() override { Log("OutbuffFree"); }
    void TriggerOutbuffUsed() override { Log("OutbuffUsed"); }
    void TriggerOutSent() override { Log("OutSent"); }
    uint16_t LineErrorNow() override {
        Log("read LineError");
        return lineError;
    }
    bool LineBreakNow() override {
        Log("read LineBreak");
        return lineBreak;
    }
    HWND TriggerWindowHandle() const override { return window; }
    void CompleteDeferredClose() override { Log("CompleteDeferredClose"); }

    std::vector<std::string> calls;
    uint16_t lineError = 0;
    bool lineBreak = false;
    HWND window = 0;

private:
    void Log(std::string call) { calls.push_back(std::move(call)); }
};

} // namespace kivo::testing
