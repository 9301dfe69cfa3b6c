// Unit Kvselcom: which serial ports exist, and the model of the port selection.
#include "comm/port/kvselcom.h"

#include <charconv>
#include <mutex>

#include "comm/dispatch/kwwin32.h"
#include "comm/platform/oserror.h"
#include "comm/platform/portmap.h"
#include "comm/platform/serial.h"

namespace kivo {

bool UseDispatcherForAvail = true;
bool ShowPortsInUse = true;

namespace {

constexpr uint32_t kAvailQueueSize = 64;

std::string DeviceName(uint32_t n) {
    return "\\\\.\\COM" + std::to_string(n);
}

// A port that exists but is held by another program answers "access denied", and so does one
// this user may not open: it is listed like a port in use, so that choosing it tells the user
// how to get access instead of the list claiming that there is no port at all.
bool CountsAsAvailable(int platformError) {
    return ShowPortsInUse &&
           (platformError == kPlatformAccessDenied || platformError == kPlatformNoPermission);
}

bool AvailableThroughDispatcher(const std::string& name) {
    TKvdWin32Dispatcher probe(nullptr);
    if (probe.OpenCom(name.c_str(), kAvailQueueSize, kAvailQueueSize) >= 0) {
        probe.CloseCom();
        return true;
    }
    return CountsAsAvailable(probe.LastPlatformError());
}

bool AvailableThroughDevice(const std::string& name) {
    const int32_t handle = SerialOpen(name);
    if (handle >= 1) {
        SerialClose(handle);
        return true;
    }
    return CountsAsAvailable(SerialLastError());
}

struct TPresenterSlot {
    std::mutex lock;
    std::shared_ptr<IComSelectPresenter> presenter;
};

TPresenterSlot& PresenterSlot() {
    static TPresenterSlot slot;
    return slot;
}

std::shared_ptr<IComSelectPresenter> CurrentPresenter() {
    TPresenterSlot& slot = PresenterSlot();
    std::lock_guard guard(slot.lock);
    return slot.presenter;
}

const TPortInfo* FindPort(const std::vector<TPortInfo>& ports, uint32_t number) {
    for (const TPortInfo& port : ports) {
        if (static_cast<uint32_t>(port.ComNumber) == number) {
            return &port;
        }
    }
    return nullptr;
}

} // namespace

bool IsPortAvailable(uint32_t n) {
    if (n == 0) {
        return false;
    }
    const std::string name = DeviceName(n);
    return UseDispatcherForAvail ? AvailableThroughDispatcher(name) : AvailableThroughDevice(name);
}

std::shared_ptr<IComSelectPresenter>
SetComSelectPresenter(std::shared_ptr<IComSelectPresenter> presenter) {
    TPresenterSlot& slot = PresenterSlot();
    std::lock_guard guard(slot.lock);
    std::swap(slot.presenter, presenter);
    return presenter;
}

// ---------------------------------------------------------------------------------------------
// TComSelectForm

TComSelectForm::TComSelectForm() {
    FormCreate();
}

// Each showing tests the ports afresh; the port map adds what the user needs to recognise a
// port: its device and, for adapters, the product name.
void TComSelectForm::FormCreate() {
    entries_.clear();
    itemIndex_ = -1;
    const std::vector<TPortInfo> ports = EnumerateComPorts();
    for (uint32_t n = 1; n <= HighestPort; ++n) {
        if (!IsPortAvailable(n)) {
            continue;
        }
        TComSelectEntry entry;
        entry.Text = "COM" + std::to_string(n);
        entry.Number = n;
        if (const TPortInfo* port = FindPort(ports, n)) {
            entry.Path = port->Path;
            entry.Description = port->Description;
        } else {
            entry.Path = ComPortPath(static_cast<int>(n));
        }
        entries_.push_back(std::move(entry));
    }
    if (!entries_.empty()) {
        itemIndex_ = 0;
    }
}

void TComSelectForm::SetItemIndex(int index) {
    if (index >= -1 && index < static_cast<int>(entries_.size())) {
        itemIndex_ = index;
    }
}

std::string TComSelectForm::SelectedCom() const {
    if (itemIndex_ < 0 || itemIndex_ >= static_cast<int>(entries_.size())) {
        return {};
    }
    return entries_[static_cast<size_t>(itemIndex_)].Text;
}

int32_t TComSelectForm::SelectedComNum() const {
    const std::string text = SelectedCom();
    if (text.size() <= 3) {
        return 0;
    }
    int32_t number = 0;
    const char* begin = text.data() + 3;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(begin, end, number);
    return error == std::errc() && stop == end && number > 0 ? number : 0;
}

TModalResult TComSelectForm::ShowModal() {
    std::shared_ptr<IComSelectPresenter> presenter = CurrentPresenter();
    return presenter ? presenter->ShowModal(*this) : mrAbort;
}

} // namespace kivo
