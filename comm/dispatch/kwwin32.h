// Unit Kwwin32: the dispatcher for the machine's own serial ports. It fills in the dispatcher's
// row of device operations with the serial device access of the platform layer (serial.h) and
// runs the three dispatcher threads (kwuser_threads.h) on the device it opened; buffers, status
// and triggers are the base dispatcher's.
//
// Devices are opened exclusively, by path or as "\\.\COMn" through the port map. A failed open
// returns -1 and leaves the platform code as the last error, which InitPort turns into the
// result: -2 no such device, -3 a malformed name, -5 held by another open, -13 no permission.
// A device that opened but could not be given what ends its waits is closed again: -8.
//
// Closing ends every wait at once: the event thread's wait, a write blocked on a peer that does
// not read, the dispatch thread's 50 ms pass. A device that hangs up (an unplugged adapter, the
// far end of a pseudo-terminal closing) is reported once as a line error: the event thread
// reports ev_Err, and GetComError returns CE_HANGUP and keeps it in lineErrors.
#pragma once

#include "comm/dispatch/kwuser.h"

#include <atomic>
#include <cstdint>

namespace kivo {

class TKvdWin32Dispatcher : public TKvdBaseDispatcher {
public:
    explicit TKvdWin32Dispatcher(TComponent* owner);
    ~TKvdWin32Dispatcher() override;

    int EscapeComFunction(int function) override;
    int FlushCom(int queue) override;
    int GetComError(TComStat& stat) override;
    int GetComEventMask(int mask) override;
    int GetComState(TDCB& dcb) override;
    int ReadCom(uint8_t* buffer, int count) override;
    int SetComState(TDCB& dcb) override;
    int WriteCom(const uint8_t* buffer, int count) override;
    // With a TCommEventRequest the wait blocks until an event, a change of the event mask or
    // the close; without one it only looks. True when events were reported.
    bool WaitComEvent(uint32_t& eventWord, void* request) override;
    bool SetupCom(int inSize, int outSize) override;
    // Raises "Dispatcher already started" while the threads run.
    void StartDispatcher() override;
    // May run on two threads at once (the closing thread and the dispatch thread finishing a
    // close); the first one stops the threads, each returns once the threads are gone. Messages
    // of the calling thread are handled meanwhile.
    void StopDispatcher() override;
    int OpenCom(const char* name, uint32_t inSize, uint32_t outSize) override;
    int CloseCom() override;
    void ReleaseInheritedDevice() override;
    int ProcessCommunications() override;
    // Polls the device along with the caller's messages and reads arriving bytes in at once;
    // until the input is handed back the event thread leaves it to the waiting reader.
    bool WaitForInput(uint32_t timeoutMs) override;
    void EndInputWaits() override;
    void TakeInputBack() override;
    bool GetComModemStatus(uint32_t& status) override;
    bool SetComBreak(bool on) override;
    int GetComErrorWithoutInput(TComStat& stat) override;

protected:
    // The open device for every thread; 0 when none. deviceId is the opening thread's copy.
    std::atomic<int32_t> device_{0};

private:
    int ClearComError(TComStat& stat, bool countInput);
    void StartThread(std::atomic<TKvdDispatcherThread*>& field, TKvdDispatcherThread* thread);
    void EndWriteThread();
    void EndEventThread();
    bool ThreadsGone(bool onDispatchThread) const;

    std::atomic<bool> stopping_{false};
    // One output flush at a time: flush requests that meet in outputFlushSignal get a single
    // confirmation from the write thread.
    TCriticalSection flushLock_;
};

// A device that another service opened and hands over as a serial handle; it is closed like
// one the dispatcher opened itself.
class TKvdTAPI32Dispatcher : public TKvdWin32Dispatcher {
public:
    TKvdTAPI32Dispatcher(TComponent* owner, int32_t deviceHandle);

    // Opens nothing: the handed-over handle, or -2007 (last error 2007) when there is none.
    int OpenCom(const char* name, uint32_t inSize, uint32_t outSize) override;

private:
    const int32_t handedOver_;
};

} // namespace kivo
