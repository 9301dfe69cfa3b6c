// Unit Kwuser: triggers. The three trigger lists and the length threshold, handle numbering,
// the receive step that fills the input ring, and the checks that decide which trigger fires.
//
// The checks run on a dispatcher thread while the main thread may add, change or remove
// triggers. They therefore walk the lists by index and look at a record only under mainLock,
// and never hold a lock while SendNotify runs the handlers: a handler may change the lists, so
// every index is tested against the list again after a notification.
#include "comm/dispatch/kwuser.h"
#include "comm/errors/kvexcept.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kivo {

namespace {

// Handles are counted up to this many times eight; beyond it free ones are searched for.
constexpr uint32_t HandleCountLimit = 4096;
constexpr uint32_t HandleStep = 8;
constexpr uint32_t StatusKindMask = 7;
constexpr uint32_t StatusKindCount = 6;
constexpr uint32_t AllOnes = 0xFFFFFFFF;

uint32_t NextRingPos(uint32_t pos) {
    return pos + 1 == InBufferSize ? 0 : pos + 1;
}

// Drops every partial match of a data trigger.
void ClearMatchSlots(TDataTrigger& trigger) {
    std::fill(std::begin(trigger.matchSlots), std::end(trigger.matchSlots), 0u);
}

// ASCII upper case: bytes of multi-byte UTF-8 characters stay as they are.
uint8_t UpperCase(uint8_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

// Feeds one received character to a data trigger. Each match slot follows one partial match;
// a character that continues none but starts the pattern opens a new one in the first slot
// visited with it, so overlapping occurrences are found. True when the pattern completed.
bool MatchDataChar(TDataTrigger& trigger, uint8_t c) {
    const uint32_t n = trigger.length;
    uint32_t* slots = trigger.matchSlots;
    const uint8_t* pattern = trigger.pattern;
    if (trigger.ignoreCase != 0) {
        c = UpperCase(c);
    }
    bool result = false;
    bool started = false;
    bool visit = true;
    for (uint32_t i = 0; i < n; ++i) {
        if (visit) {
            const uint32_t k = slots[i];
            if (k < n && pattern[k] == c) {
                if (k == n - 1) {
                    ClearMatchSlots(trigger);
                    result = true;
                } else {
                    slots[i] = k + 1;
                }
            } else if (pattern[0] == c) {
                slots[i] = 1;
                started = true;
            } else {
                slots[i] = 0;
            }
        }
        if (slots[i] == 1) {
            started = true;
        }
        if (i + 1 < n) {
            visit = slots[i + 1] != 0 || (!started && pattern[0] == c);
        }
    }
    return result;
}

// Line-error flags as the port component passes them (bit 0 overrun, 1 parity, 2 framing,
// 3 break) become the dispatcher's CE_* bits.
uint16_t LineErrorMask(uint32_t flags) {
    uint16_t mask = 0;
    mask |= (flags & 1) != 0 ? CE_OVERRUN : 0;
    mask |= (flags & 2) != 0 ? CE_RXPARITY : 0;
    mask |= (flags & 4) != 0 ? CE_FRAME : 0;
    mask |= (flags & 8) != 0 ? CE_BREAK : 0;
    return mask;
}

template <typename Record>
bool HoldsHandle(const std::vector<Record>& list, uint32_t handle) {
    return std::any_of(list.begin(), list.end(), [handle](const Record& r) {
        return (r.handle & ~StatusKindMask) == handle;
    });
}

// The index of the record with exactly this handle, or -1.
template <typename Record>
ptrdiff_t IndexOfHandle(const std::vector<Record>& list, uint32_t handle) {
    auto found = std::find_if(list.begin(), list.end(),
                              [handle](const Record& r) { return r.handle == handle; });
    return found == list.end() ? -1 : found - list.begin();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Handles

uint32_t TKvdBaseDispatcher::GetTriggerHandle() {
    TCriticalSectionGuard guard(mainLock);
    // A handle already held (a restored trigger keeps its old one) is never handed out twice.
    auto inUse = [this](uint32_t handle) {
        return HoldsHandle(timerTriggers, handle) || HoldsHandle(statusTriggers, handle) ||
               HoldsHandle(dataTriggers, handle);
    };
    while (handleCounter < HandleCountLimit) {
        const uint32_t handle = handleCounter * HandleStep;
        ++handleCounter;
        if (!inUse(handle)) {
            return handle;
        }
    }
    uint32_t handle = HandleStep;
    while (inUse(handle)) {
        handle += HandleStep;
    }
    return handle;
}

uint32_t TKvdBaseDispatcher::ClassifyStatusTrigger(uint32_t handle) {
    return handle & StatusKindMask;
}

// ---------------------------------------------------------------------------------------------
// Adding and removing

int32_t TKvdBaseDispatcher::AddDataTrigger(const char* pattern, bool ignoreCase) {
    if (pattern == nullptr) {
        return ecBadArgument;
    }
    return AddDataTriggerLen(pattern, ignoreCase, static_cast<uint32_t>(std::strlen(pattern)));
}

int32_t TKvdBaseDispatcher::AddDataTriggerLen(const char* pattern, bool ignoreCase,
                                              uint32_t length) {
    if (length > MaxDataTriggerLen) {
        return ecTriggerTooLong;
    }
    if (pattern == nullptr && length != 0) {
        return ecBadArgument;
    }
    TCriticalSectionGuard guard(mainLock);
    TDataTrigger trigger{};
    trigger.handle = GetTriggerHandle();
    trigger.length = length;
    trigger.ignoreCase = ignoreCase ? AllOnes : 0;
    for (uint32_t i = 0; i < length; ++i) {
        const auto c = static_cast<uint8_t>(pattern[i]);
        trigger.pattern[i] = ignoreCase ? UpperCase(c) : c;
    }
    dataTriggers.push_back(trigger);
    LogDispatchEntry(dtTriggerAlloc, dstDataTrigger, trigger.handle, pattern, length);
    return static_cast<int32_t>(trigger.handle);
}

int32_t TKvdBaseDispatcher::AddTimerTrigger() {
    TCriticalSectionGuard guard(mainLock);
    TTimerTrigger trigger{};
    trigger.handle = GetTriggerHandle();
    trigger.reserved = -1;
    timerTriggers.push_back(trigger);
    LogDispatchEntry(dtTriggerAlloc, dstTimerTrigger, trigger.handle, nullptr, 0);
    return static_cast<int32_t>(trigger.handle);
}

int32_t TKvdBaseDispatcher::AddStatusTrigger(uint32_t kind) {
    if (kind >= StatusKindCount) {
        return ecBadArgument;
    }
    TCriticalSectionGuard guard(mainLock);
    TStatusTrigger trigger{};
    trigger.handle = GetTriggerHandle() | kind;
    trigger.kind = kind;
    statusTriggers.push_back(trigger);
    const auto kindByte = static_cast<uint8_t>(kind);
    LogDispatchEntry(dtTriggerAlloc, dstStatusTrigger, trigger.handle, &kindByte, 1);
    return static_cast<int32_t>(trigger.handle);
}

void TKvdBaseDispatcher::ChangeLengthTrigger(uint32_t length) {
    TCriticalSectionGuard guard(mainLock);
    availThreshold = length;
    LogDispatchEntry(dtTriggerDataChange, dstAvailTrigger, length, nullptr, 0);
}

int TKvdBaseDispatcher::RemoveTrigger(uint32_t handle) {
    TCriticalSectionGuard guard(mainLock);
    if (handle == LengthTriggerHandle) {
        availThreshold = 0;
        return 0;
    }
    TTriggerType kind;
    return FindTriggerFromHandle(handle, true, kind, nullptr);
}

int TKvdBaseDispatcher::FindTriggerFromHandle(uint32_t handle, bool deleteIt, TTriggerType& kind,
                                              void** record) {
    TCriticalSectionGuard guard(mainLock);
    kind = ttNone;
    if (record != nullptr) {
        *record = nullptr;
    }
    if (handle == 0 || handle == LengthTriggerHandle) {
        return ecBadTriggerHandle;
    }
    // Looks the handle up in one list; on a hit either hands the record out or deletes it.
    auto lookIn = [&](auto& list, TTriggerType listKind, TDispatchSubType disposeSubType,
                      bool kindInBlock) {
        const ptrdiff_t index = IndexOfHandle(list, handle);
        if (index < 0) {
            return false;
        }
        kind = listKind;
        if (!deleteIt) {
            if (record != nullptr) {
                *record = &list[static_cast<size_t>(index)];
            }
            return true;
        }
        list.erase(list.begin() + index);
        const auto kindByte = static_cast<uint8_t>(handle & StatusKindMask);
        LogDispatchEntry(dtTriggerDispose, disposeSubType, handle,
                         kindInBlock ? &kindByte : nullptr, kindInBlock ? 1 : 0);
        return true;
    };
    if (lookIn(timerTriggers, ttTimer, dstTimer, false) ||
        lookIn(statusTriggers, ttStatus, dstStatusTrigger, true) ||
        lookIn(dataTriggers, ttData, dstData, false)) {
        return 0;
    }
    return ecBadTriggerHandle;
}

void TKvdBaseDispatcher::RemoveAllTriggers() {
    TCriticalSectionGuard guard(mainLock);
    availThreshold = 0;
    timerTriggers.clear();
    dataTriggers.clear();
    statusTriggers.clear();
    handleCounter = 1;
}

// ---------------------------------------------------------------------------------------------
// Arming and changing

namespace {

// The record of a handle when it is of the wanted kind, else null; call under mainLock.
template <typename Record>
Record* FindOfKind(TKvdBaseDispatcher& dispatcher, uint32_t handle, TTriggerType wanted) {
    TTriggerType kind;
    void* record = nullptr;
    if (dispatcher.FindTriggerFromHandle(handle, false, kind, &record) != 0 || kind != wanted) {
        return nullptr;
    }
    return static_cast<Record*>(record);
}

// Numbers in log blocks are written least significant byte first, as the log has always shown
// them, whatever the byte order of the system.
std::array<uint8_t, 4> LogBytes(int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
            static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
}

} // namespace

int TKvdBaseDispatcher::SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) {
    TCriticalSectionGuard guard(mainLock);
    auto* trigger = FindOfKind<TTimerTrigger>(*this, handle, ttTimer);
    if (trigger == nullptr) {
        return ecBadTriggerHandle;
    }
    if (activate) {
        if (ticks != 0) {
            trigger->ticks = ticks;
        }
        NewTimer(trigger->timer, trigger->ticks);
        trigger->active = 1;
    } else {
        trigger->active = 0;
    }
    static constexpr char deactivated[] = "Deactivated";
    if (activate) {
        const std::array<uint8_t, 4> block = LogBytes(ticks);
        LogDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, block.data(), block.size());
    } else {
        LogDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, deactivated,
                         sizeof deactivated - 1);
    }
    return 0;
}

int TKvdBaseDispatcher::ExtendTimer(uint32_t handle, int32_t ticks) {
    TCriticalSectionGuard guard(mainLock);
    auto* trigger = FindOfKind<TTimerTrigger>(*this, handle, ttTimer);
    if (trigger == nullptr) {
        return ecBadTriggerHandle;
    }
    // Saturated: an expiry pushed past the largest tick count would wrap round to one long
    // gone, and the timer would fire at once instead of late.
    const int64_t expires = int64_t{trigger->timer.Expires} + ticks;
    trigger->timer.Expires =
        static_cast<int32_t>(std::clamp<int64_t>(expires, INT32_MIN, INT32_MAX));
    const std::array<uint8_t, 4> block = LogBytes(ticks);
    LogDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, block.data(), block.size());
    return 0;
}

int TKvdBaseDispatcher::TimerTicksRemaining(uint32_t handle, int32_t& remaining) {
    remaining = 0;
    TCriticalSectionGuard guard(mainLock);
    auto* trigger = FindOfKind<TTimerTrigger>(*this, handle, ttTimer);
    if (trigger == nullptr) {
        return ecBadTriggerHandle;
    }
    remaining = RemainingTime(trigger->timer);
    return 0;
}

int TKvdBaseDispatcher::SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) {
    TCriticalSectionGuard guard(mainLock);
    auto* trigger = FindOfKind<TStatusTrigger>(*this, handle, ttStatus);
    if (trigger == nullptr) {
        return ecBadTriggerHandle;
    }
    if (activate) {
        switch (trigger->kind) {
        case skModem: {
            const uint32_t mask = value & 0xFF;
            const uint32_t reference = mask & modemStatus & 0xFF;
            trigger->value = static_cast<uint16_t>(mask | (reference << 8));
            break;
        }
        case skLine:
            trigger->value = LineErrorMask(value);
            break;
        case skOutFree:
        case skOutUsed:
            trigger->value = static_cast<uint16_t>(value);
            break;
        default:
            break;
        }
    }
    trigger->active = activate ? 1 : 0;
    if (activate) {
        std::array<uint8_t, 4> block = LogBytes(trigger->value);
        block[2] = trigger->active;
        block[3] = trigger->hit;
        LogDispatchEntry(dtTriggerDataChange, dstStatusTrigger, handle, block.data(), block.size());
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Saving, restoring, resetting

void TKvdBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    TCriticalSectionGuard guard(mainLock);
    ClearSaveBuffers(save);
    save.availThreshold = availThreshold;
    save.timerTriggers = timerTriggers;
    save.dataTriggers = dataTriggers;
    save.statusTriggers = statusTriggers;
}

void TKvdBaseDispatcher::RestoreTriggers(TTriggerSave& save) {
    TCriticalSectionGuard guard(mainLock);
    availThreshold = save.availThreshold;
    timerTriggers = save.timerTriggers;
    statusTriggers = save.statusTriggers;
    // A hit mark holds a trigger that fired and was re-armed until the pass that fired it is
    // over. That pass was the old dispatcher's: kept, the mark would silence the re-armed
    // trigger until some other status trigger fires here.
    for (TStatusTrigger& trigger : statusTriggers) {
        trigger.hit = 0;
    }
    // The save buffer belongs to the caller: a data record whose length no pattern can have
    // would make the matching step read past the pattern, so it is not taken over.
    dataTriggers.clear();
    std::copy_if(save.dataTriggers.begin(), save.dataTriggers.end(),
                 std::back_inserter(dataTriggers),
                 [](const TDataTrigger& t) { return t.length <= MaxDataTriggerLen; });
    // A match that completed on the old port and was not told before it closed is not told
    // here, at the first byte of this port.
    for (TDataTrigger& trigger : dataTriggers) {
        trigger.matched = 0;
    }
}

void TKvdBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save.timerTriggers.clear();
    save.dataTriggers.clear();
    save.statusTriggers.clear();
}

void TKvdBaseDispatcher::ResetStatusHits() {
    TCriticalSectionGuard guard(mainLock);
    for (TStatusTrigger& trigger : statusTriggers) {
        trigger.hit = 0;
    }
    statusHitFlag = false;
}

void TKvdBaseDispatcher::ResetDataTriggers() {
    TCriticalSectionGuard guard(mainLock);
    for (TDataTrigger& trigger : dataTriggers) {
        ClearMatchSlots(trigger);
    }
}

// ---------------------------------------------------------------------------------------------
// The receive step

namespace {

// Reads what the device holds into one contiguous room of the input ring: the count read, 0
// after a failed read (the device's pending events are then reset). The read is logged.
uint32_t ReadIntoRing(TKvdBaseDispatcher& d, uint32_t at, uint32_t room) {
    int count = d.ReadCom(d.inBuffer + at, static_cast<int>(room));
    if (count < 0) {
        // A failed read delivered nothing; taking its error number as a count would put
        // stale ring bytes in front of the reader.
        d.GetComEventMask(-1);
        count = 0;
    }
    const auto got = std::min(static_cast<uint32_t>(count), room);
    d.LogDispatchEntry(dtDispatch, dstReadCom, got, got != 0 ? d.inBuffer + at : nullptr, got);
    return got;
}

// Reads what the device holds into the input ring under its lock, adding the count to
// `arrived`; false when there is no ring or nothing waiting.
bool MoveArrivedBytes(TKvdBaseDispatcher& d, bool askDevice, uint32_t& arrived) {
    TCriticalSectionGuard guard(d.inputLock);
    if (d.inputFull) {
        return true;
    }
    if (d.inBuffer == nullptr) {
        return false;
    }
    const uint32_t waiting = askDevice ? d.RefreshStatus().cbInQue : InBufferSize;
    if (waiting == 0) {
        return false;
    }
    uint32_t w = d.inHead;
    const uint32_t r = d.inTail;
    const uint32_t freeSpace = std::min(r <= w ? r + InBufferSize - w : r - w, waiting);
    const uint32_t firstRoom = r > w ? r - w : InBufferSize - w;
    uint32_t secondRoom = firstRoom < freeSpace ? freeSpace - firstRoom : 0;
    if (firstRoom != 0) {
        const uint32_t got = ReadIntoRing(d, w, firstRoom);
        w += got;
        arrived += got;
        if (got < firstRoom) {
            secondRoom = 0;
        }
    }
    if (w == InBufferSize) {
        w = 0;
    }
    if (arrived != 0) {
        d.inputFull = w == r;
    }
    if (secondRoom != 0) {
        const uint32_t got = ReadIntoRing(d, w, secondRoom);
        w += got;
        arrived += got;
        d.inputFull = w == r;
    }
    d.inHead = w;
    return true;
}

} // namespace

// The reader is woken once the input lock is free again: woken under it, the reader's first
// step would be to wait for it.
bool TKvdBaseDispatcher::ExtractData() {
    uint32_t arrived = 0;
    const bool result = MoveArrivedBytes(*this, true, arrived);
    if (arrived != 0) {
        NotifyInputArrived();
    }
    return result;
}

bool TKvdBaseDispatcher::ExtractDataAsReader() {
    uint32_t arrived = 0;
    const bool result = MoveArrivedBytes(*this, false, arrived);
    if (arrived != 0 && inputWaiter.load() != GetCurrentThreadId()) {
        NotifyInputArrived();
    }
    return result && arrived != 0;
}

// ---------------------------------------------------------------------------------------------
// The checks

namespace {

void LogFiring(TKvdBaseDispatcher& d, TDispatchSubType subType, uint32_t data) {
    d.LogDispatchEntry(dtTrigger, subType, data, nullptr, 0);
}

// Whether an armed status trigger's condition holds, with the data its notification carries;
// call under mainLock. A line trigger that fires keeps the whole line-error word.
bool StatusConditionMet(TKvdBaseDispatcher& d, TStatusTrigger& trigger, uint32_t& data) {
    data = 0;
    switch (trigger.kind) {
    case skModem: {
        const uint32_t mask = trigger.value & 0xFF;
        const uint32_t reference = trigger.value >> 8;
        return ((reference ^ d.modemStatus) & mask) != 0;
    }
    case skLine:
        if ((trigger.value & d.lineErrors) == 0) {
            return false;
        }
        trigger.value = static_cast<uint16_t>(d.lineErrors);
        return true;
    case skOutFree:
        data = d.OutBuffFree();
        return data >= trigger.value;
    case skOutUsed:
        data = d.OutBuffUsed();
        return data <= trigger.value;
    case skOutSent:
        return d.outputSentFlag.exchange(false);
    default:
        return false;
    }
}

} // namespace

bool TKvdBaseDispatcher::CheckTimerTriggers() {
    for (size_t index = 0;; ++index) {
        uint32_t handle;
        {
            TCriticalSectionGuard guard(mainLock);
            if (index >= timerTriggers.size()) {
                return false;
            }
            TTimerTrigger& trigger = timerTriggers[index];
            if (trigger.active == 0 || !TimerExpired(trigger.timer)) {
                continue;
            }
            trigger.active = 0;
            handle = trigger.handle;
        }
        LogFiring(*this, dstTimer, handle);
        return SendNotify(msgTriggerTimer, handle, 0);
    }
}

bool TKvdBaseDispatcher::CheckStatusTriggers() {
    for (size_t index = 0;; ++index) {
        uint32_t handle;
        uint32_t data;
        {
            TCriticalSectionGuard guard(mainLock);
            if (index >= statusTriggers.size()) {
                return false;
            }
            TStatusTrigger& trigger = statusTriggers[index];
            if (trigger.active == 0 || trigger.hit != 0 ||
                !StatusConditionMet(*this, trigger, data)) {
                continue;
            }
            trigger.active = 0;
            trigger.hit = 1;
            handle = trigger.handle;
        }
        statusHitFlag = true;
        LogFiring(*this, dstStatus, handle);
        return SendNotify(msgTriggerStatus, handle, data);
    }
}

namespace {

// Feeds one character to every data trigger; a trigger whose notification is still pending is
// not advanced. The longest pattern among the matched triggers, 0 when none is matched.
uint32_t MatchAgainstDataTriggers(std::vector<TDataTrigger>& triggers, uint8_t c) {
    uint32_t longest = 0;
    for (TDataTrigger& trigger : triggers) {
        if (trigger.length == 0) {
            continue;
        }
        if (trigger.matched == 0 && MatchDataChar(trigger, c)) {
            trigger.matched = AllOnes;
        }
        if (trigger.matched != 0) {
            longest = std::max(longest, trigger.length);
        }
    }
    return longest;
}

// The bytes from the read position through ring position `pos`, less what the handler of a
// running data notification has already read.
uint32_t RingCountThrough(const TKvdBaseDispatcher& d, uint32_t pos) {
    const uint32_t count = (pos + InBufferSize - d.inTail) % InBufferSize + 1;
    return d.inDataNotify ? count - d.handlerRead : count;
}

// Notifies every matched data trigger, from the last to the first, and clears its mark. A
// handler (or the main thread) may remove triggers meanwhile: the walk steps down past the
// places that have left the list and goes on with the records still in it, so that a handler
// removing its own trigger does not hold back the others that completed on the same byte until
// another byte arrives. Records already told are no longer marked. The result is that of the
// last notification, or `result` when none was sent.
bool NotifyMatchedDataTriggers(TKvdBaseDispatcher& d, bool result) {
    size_t index;
    {
        TCriticalSectionGuard guard(d.mainLock);
        index = d.dataTriggers.size();
    }
    while (index-- > 0) {
        uint32_t handle;
        uint32_t length;
        {
            TCriticalSectionGuard guard(d.mainLock);
            if (index >= d.dataTriggers.size()) {
                continue;
            }
            TDataTrigger& trigger = d.dataTriggers[index];
            if (trigger.matched == 0) {
                continue;
            }
            trigger.matched = 0;
            handle = trigger.handle;
            length = trigger.length;
        }
        LogFiring(d, dstData, handle);
        result = d.SendNotify(msgTriggerData, handle, length);
    }
    return result;
}

// A reader may take bytes while the checks are held off (a wait keeps the dispatcher busy),
// even more than the ring holds. Those bytes are gone: scanning them would tell triggers about
// data no longer there and count an avail notification from behind the read position. The
// scan goes on from the read position instead, and partial matches that ran into the taken
// bytes start over. Counting taken and scanned bytes tells this apart from a ring position.
// Call under inputLock.
void ResumeScanAfterReaders(TKvdBaseDispatcher& d) {
    if (d.scanCount < d.inTakenCount) {
        d.scanPos = d.inTail;
        d.scanCount = d.inTakenCount;
        d.ResetDataTriggers();
    }
}

// The bytes from the scan position to the write position. When they meet in a full ring, the
// ring holds a whole ring of unscanned bytes if the scan has not moved since the read position
// was there, and none otherwise. Call under inputLock.
uint32_t UnscannedBytes(const TKvdBaseDispatcher& d) {
    const uint32_t count = (d.inHead + InBufferSize - d.scanPos) % InBufferSize;
    return count == 0 && d.inputFull && d.scanCount == d.inTakenCount ? InBufferSize : count;
}

// Moves the scan on by `count` bytes to ring position `pos`.
void AdvanceScan(TKvdBaseDispatcher& d, uint32_t pos, uint32_t count) {
    d.scanCount += count;
    d.scanPos = pos;
}

} // namespace

bool TKvdBaseDispatcher::CheckReceiveTriggers() {
    uint32_t longest = 0;
    uint32_t threshold;
    uint32_t pos;
    uint32_t scanned = 0; // bytes from the scan position up to pos
    {
        // The bytes are scanned under the input lock: a reader that took them meanwhile could
        // read new bytes into their places while they are being scanned.
        TCriticalSectionGuard input(inputLock);
        ResumeScanAfterReaders(*this);
        TCriticalSectionGuard guard(mainLock);
        if (inBuffer == nullptr) {
            return false;
        }
        pos = scanPos;
        threshold = availThreshold;
        const uint32_t unscanned = UnscannedBytes(*this);
        while (scanned != unscanned) {
            longest = MatchAgainstDataTriggers(dataTriggers, inBuffer[pos]);
            if (longest != 0) {
                break;
            }
            pos = NextRingPos(pos);
            ++scanned;
        }
    }
    if (longest == 0) {
        AdvanceScan(*this, pos, scanned);
        const uint32_t used = InBuffUsed();
        if (threshold == 0 || scanCount == availNotifyCount || used < threshold) {
            return false;
        }
        LogFiring(*this, dstAvail, used);
        const bool result = SendNotify(msgTriggerAvail, used, 0);
        availNotifyCount = scanCount;
        return result;
    }
    bool result = true;
    if (threshold != 0 && scanCount + scanned != availNotifyCount) {
        // The bytes before the matched string; negative when its start was already read. A
        // threshold beyond the signed range is never reached, rather than reached by all.
        const auto before = static_cast<int32_t>(RingCountThrough(*this, pos) - longest);
        if (before >= 0 && static_cast<uint32_t>(before) >= threshold) {
            LogFiring(*this, dstAvail, static_cast<uint32_t>(before));
            result = SendNotify(msgTriggerAvail, static_cast<uint32_t>(before), 0);
            AdvanceScan(*this, pos, scanned);
            scanned = 0;
            availNotifyCount = scanCount;
        }
    }
    result = NotifyMatchedDataTriggers(*this, result);
    AdvanceScan(*this, NextRingPos(pos), scanned + 1);
    return result;
}

bool TKvdBaseDispatcher::ReceiveChecksArmed() {
    TCriticalSectionGuard guard(mainLock);
    return availThreshold != 0 || !dataTriggers.empty() || !statusTriggers.empty();
}

bool TKvdBaseDispatcher::CheckTriggers() {
    return CheckTimerTriggers() || CheckStatusTriggers() || CheckReceiveTriggers();
}

} // namespace kivo
