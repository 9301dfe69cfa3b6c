#include "tests/fakes/fake_device.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace kivo::testing {

namespace {

// Handles of separate fakes differ, as those of separate devices do.
int32_t NextDeviceHandle() {
    static std::atomic<int32_t> next{100};
    return next++;
}

} // namespace

TFakeDispatcher::TFakeDispatcher(TComponent* owner) : TKvdBaseDispatcher(owner) {
    device.BaudRate = 9600;
    device.ByteSize = 8;
    device.Parity = dcbParityNone;
    device.StopBits = dcbStopBitsOne;
}

TFakeDispatcher::~TFakeDispatcher() {
    CloseOnDestroy();
}

int TFakeDispatcher::Open(uint32_t outSize) {
    return InitPort("\\\\.\\COM1", 9600, dcbParityNone, 8, 1, 4096, outSize, true, true);
}

void TFakeDispatcher::ScriptInput(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(inputMutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
}

size_t TFakeDispatcher::InputLeft() const {
    std::lock_guard<std::mutex> lock(inputMutex_);
    return input_.size();
}

void TFakeDispatcher::LoadInput(uint32_t tail, const std::string& bytes) {
    TCriticalSectionGuard guard(inputLock);
    uint32_t count = static_cast<uint32_t>(std::min<size_t>(bytes.size(), InBufferSize));
    for (uint32_t i = 0; i < count; ++i) {
        inBuffer[(tail + i) % InBufferSize] = static_cast<uint8_t>(bytes[i]);
    }
    inTail = tail % InBufferSize;
    inHead = (tail + count) % InBufferSize;
    inputFull = count == InBufferSize;
}

std::string TFakeDispatcher::DrainOutput(uint32_t count) {
    TCriticalSectionGuard guard(outputLock);
    std::string taken;
    uint32_t wanted = std::min(count, OutputRingUsed());
    while (taken.size() < wanted) {
        uint32_t run =
            std::min(wanted - static_cast<uint32_t>(taken.size()), outBufferSize - outTail);
        taken.append(reinterpret_cast<const char*>(outBuffer) + outTail, run);
        AdvanceOutput(run);
    }
    sent += taken;
    return taken;
}

int TFakeDispatcher::EscapeComFunction(int function) {
    escapes.push_back(function);
    if (function == escSetDtr || function == escClrDtr) {
        dtrLine = function == escSetDtr;
    }
    if (function == escSetRts || function == escClrRts) {
        rtsLine = function == escSetRts;
    }
    return escapeResult;
}

int TFakeDispatcher::FlushCom(int queue) {
    flushes.push_back(queue);
    if (queue == 0) {
        DiscardOutput();
    } else {
        std::lock_guard<std::mutex> lock(inputMutex_);
        input_.clear();
    }
    return 0;
}

int TFakeDispatcher::GetComError(TComStat& stat) {
    stat.Flags = statusFlags;
    stat.cbInQue = static_cast<uint32_t>(InputLeft());
    stat.cbOutQue = OutputRingUsed();
    uint32_t errors = pendingLineErrors;
    pendingLineErrors = 0;
    return static_cast<int>(errors);
}

int TFakeDispatcher::GetComEventMask(int mask) {
    eventMasks.push_back(mask);
    return 0;
}

int TFakeDispatcher::GetComState(TDCB& dcb) {
    ++getStateCalls;
    dcb = device;
    return getStateResult;
}

int TFakeDispatcher::ReadCom(uint8_t* buffer, int count) {
    if (readFailure != 0) {
        return std::exchange(readFailure, 0);
    }
    std::lock_guard<std::mutex> lock(inputMutex_);
    size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), input_.size());
    if (readLimit != 0) {
        n = std::min<size_t>(n, readLimit);
    }
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int TFakeDispatcher::SetComState(TDCB& dcb) {
    if (setStateFailure != 0) {
        lastError_ = setStateFailure;
        return -setStateFailure;
    }
    device = dcb;
    stateWrites.push_back(dcb);
    return 0;
}

int TFakeDispatcher::WriteCom(const uint8_t* buffer, int count) {
    if (writeResult != 0) {
        return writeResult;
    }
    if (count <= 0 || !StoreOutput(buffer, static_cast<uint32_t>(count))) {
        return 0;
    }
    return count;
}

bool TFakeDispatcher::WaitComEvent(uint32_t& eventWord, void*) {
    eventWord = std::exchange(pendingEvents, 0);
    return eventWord != 0;
}

bool TFakeDispatcher::SetupCom(int inSize, int outSize) {
    setupInSize = static_cast<uint32_t>(inSize);
    setupOutSize = static_cast<uint32_t>(outSize);
    if (setupFailure != 0) {
        lastError_ = setupFailure;
        return false;
    }
    return true;
}

void TFakeDispatcher::StartDispatcher() {
    ++startCalls;
}

void TFakeDispatcher::StopDispatcher() {
    ++stopCalls;
}

int TFakeDispatcher::OpenCom(const char* name, uint32_t, uint32_t) {
    openedName = name;
    if (openOutOfMemory) {
        return -8;
    }
    if (openFailure != 0) {
        lastError_ = openFailure;
        return -1;
    }
    return NextDeviceHandle();
}

int TFakeDispatcher::CloseCom() {
    ++closeCalls;
    deviceId = -1;
    return 0;
}

int TFakeDispatcher::ProcessCommunications() {
    return 0;
}

bool TFakeDispatcher::GetComModemStatus(uint32_t& status) {
    status = deviceModemStatus;
    return true;
}

bool TFakeDispatcher::SetComBreak(bool on) {
    breaks.push_back(on);
    breakOn = on;
    return true;
}

int TFakeDispatcher::LastPlatformError() const {
    return lastError_;
}

} // namespace kivo::testing
