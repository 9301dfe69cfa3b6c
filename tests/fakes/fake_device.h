// An in-memory device layer for dispatcher tests. It implements every device operation on
// plain fields that a test sets and inspects directly:
//
//   - the device: OpenCom hands out a fresh handle (or fails as scripted), SetupCom and
//     SetComState can be made to fail, the control block lives in `device`;
//   - input: bytes queued with ScriptInput are what ReadCom hands out, at most `readLimit` per
//     call when that is non-zero; GetComError reports how many are left;
//   - line errors and status: `pendingLineErrors` is returned (and cleared) by the next
//     GetComError, `statusFlags` fills the status record's flags;
//   - modem lines: `deviceModemStatus` (ms_* bits) is what the device reports;
//   - output: WriteCom stores into the dispatcher's output ring as a real layer does; nothing
//     leaves it until the test calls DrainOutput, which plays the write thread and records the
//     bytes in `sent`;
//   - records: every escape function, break change and flush is kept in order.
//
// StartDispatcher and StopDispatcher only count their calls: no threads run, so a test drives
// the data path itself (ExtractData, the trigger checks, the data operations).
//
//     kivo::testing::TFakeDispatcher port;
//     ASSERT_EQ(port.Open(), 0);          // 9600 8N1, DTR and RTS on
//     port.ScriptInput("OK");
//     port.ExtractData();
//     port.PutString("US");
//     EXPECT_EQ(port.DrainOutput(), "US");
#pragma once

#include "comm/dispatch/kwuser.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::testing {

class TFakeDispatcher : public TKvdBaseDispatcher {
public:
    explicit TFakeDispatcher(TComponent* owner = nullptr);
    ~TFakeDispatcher() override;

    // InitPort with the updater's line (9600 8N1), a 4096-byte input queue and the given
    // output ring size, DTR and RTS on.
    int Open(uint32_t outSize = 1024);

    // --- Scripting
    void ScriptInput(const std::string& bytes);
    size_t InputLeft() const;

    int openFailure = 0;          // platform error of a failing OpenCom (-1 returned)
    bool openOutOfMemory = false; // OpenCom returns -8
    int setupFailure = 0;         // platform error of a failing SetupCom
    int setStateFailure = 0;      // platform error of a failing SetComState
    int getStateResult = 0;       // GetComState's result (the block is copied regardless)
    int escapeResult = 0;         // EscapeComFunction's result
    int writeResult = 0;          // non-zero: WriteCom returns it and stores nothing
    int readFailure = 0;          // non-zero: the next ReadCom returns it and reads nothing
    uint32_t readLimit = 0;       // most bytes one ReadCom hands out; 0 = no limit
    uint32_t pendingLineErrors = 0;
    uint32_t statusFlags = 0; // comstat_* bits
    uint32_t deviceModemStatus = ms_CtsOn | ms_DsrOn;
    uint32_t pendingEvents = 0; // what WaitComEvent reports
    TDCB device;                // the device's own control block

    // --- Records
    std::vector<int> escapes;      // EscapeComFunction codes in call order
    std::vector<bool> breaks;      // SetComBreak arguments in call order
    std::vector<int> flushes;      // FlushCom queues in call order
    std::vector<int> eventMasks;   // GetComEventMask arguments
    std::vector<TDCB> stateWrites; // blocks accepted by SetComState
    std::string openedName;
    uint32_t setupInSize = 0;
    uint32_t setupOutSize = 0;
    int getStateCalls = 0;
    int startCalls = 0;
    int stopCalls = 0;
    int closeCalls = 0;
    bool breakOn = false;
    bool dtrLine = false;
    bool rtsLine = false;
    std::string sent; // everything DrainOutput took out of the ring

    // Puts bytes into the input ring as if they had just been received, the first at ring
    // position `tail` (wrapping at the end); the ring held nothing else.
    void LoadInput(uint32_t tail, const std::string& bytes);

    // Plays the write thread: takes up to `count` queued bytes out of the output ring (all of
    // them by default), appends them to `sent` and returns them.
    std::string DrainOutput(uint32_t count = UINT32_MAX);

    // --- Device operations
    int EscapeComFunction(int function) override;
    int FlushCom(int queue) override;
    int GetComError(TComStat& stat) override;
    int GetComEventMask(int mask) override;
    int GetComState(TDCB& dcb) override;
    int ReadCom(uint8_t* buffer, int count) override;
    int SetComState(TDCB& dcb) override;
    int WriteCom(const uint8_t* buffer, int count) override;
    bool WaitComEvent(uint32_t& eventWord, void* request) override;
    bool SetupCom(int inSize, int outSize) override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    int OpenCom(const char* name, uint32_t inSize, uint32_t outSize) override;
    int CloseCom() override;
    int ProcessCommunications() override;
    bool GetComModemStatus(uint32_t& status) override;
    bool SetComBreak(bool on) override;
    int LastPlatformError() const override;

private:
    mutable std::mutex inputMutex_;
    std::deque<uint8_t> input_;
    int lastError_ = 0;
};

} // namespace kivo::testing
