// Unit Mainfrm, the part without a window: the updater's port set up for the device, and the
// update run that greets the device, streams the image to it in 128-byte sectors and checks the
// checksum it returns. The window and the command line both drive this run; they differ only in
// where the log lines and the progress go.
#pragma once

#include "app/hexfiletorom.h"
#include "comm/port/kvport.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace brinomar {

// The log lines of a run.
inline constexpr const char* LogGetInTouch = "Get in touch with Brinomar";
inline constexpr const char* LogConnection = "Connection with Brinomar";
inline constexpr const char* LogTimeOut = "TimeOut, no connection";
inline constexpr const char* LogSectorOk = "Sector %03d OK";
inline constexpr const char* LogSectorError = "Sector %03d ERROR";
inline constexpr const char* LogCheckSum = "CheckSum";
inline constexpr const char* LogCheckSumOk = "CheckSum OK";
inline constexpr const char* LogCheckSumError = "CheckSum Error";

// The device protocol.
constexpr int GreetingAttempts = 1000;
constexpr int GreetingTimeoutTicks = 1;
constexpr int AcknowledgeTimeoutTicks = 50;
constexpr int CheckSumTimeoutTicks = 100;
constexpr int SectorSize = 128;
constexpr int FirstSector = TRomImage::FirstSentPosition / SectorSize; // 4
constexpr int LastSector = TRomImage::ImageSize / SectorSize - 1;      // 493
constexpr int SectorCount = LastSector - FirstSector + 1;              // 490
constexpr int ImageBytesSent = SectorCount * SectorSize;               // 62,720
constexpr int UpdateBaud = 9600;

// Where a run writes its lines, one event a line, as the window's log box shows them.
class IUpdateLog {
public:
    virtual ~IUpdateLog() = default;
    virtual void Clear() = 0;
    virtual void Add(const std::string& line) = 0;
};

// How far the transfer has come: called each time a sector has been queued for sending.
struct TTransferProgress {
    int SectorsSent = 0; // 1 ... SectorCount
    int BytesSent = 0;   // image bytes queued so far, the start byte not counted
};
using TProgressCallback = std::function<void(const TTransferProgress& progress)>;

// How a run ended.
enum class TUpdateOutcome : uint8_t {
    uoCheckSumOk,    // "CheckSum OK"
    uoCheckSumError, // "CheckSum Error"
    uoSectorError,   // "Sector NNN ERROR": an acknowledgement did not come
    uoNoConnection,  // "TimeOut, no connection"
    uoImageDamaged,  // the image was not sent: its file has errors, or no file was loaded
    uoStopped,       // the application is terminating; nothing more was sent
};

// The port as the updater uses it: 9600 baud 8N1 without flow control, tracing and logging off
// (into KIVO.TRC and KIVO.LOG when switched on), no port chosen so that the first opening asks
// for one, and an OnTrigger handler that takes nothing, so that the device's answers are left
// for the run's waits.
void ConfigureUpdatePort(kivo::TKvdComPort& port);

// One update: the continuation of "Select File" once the file is in the image. The run takes
// place on the thread that owns the port; its waits let that thread's messages be handled, so
// a window stays responsive. Exceptions of the port (it cannot be opened, no port was chosen)
// leave Execute; the port stays open after a run, whatever its outcome.
class TUpdateRun {
public:
    TUpdateRun(kivo::TKvdCustomComPort& port, const TRomImage& image, IUpdateLog& log);

    void SetProgress(TProgressCallback progress) { progress_ = std::move(progress); }

    // Clears the log and runs the update. An image whose loading found errors is not sent:
    // the log names the first error and the port is not touched.
    TUpdateOutcome Execute();

    // Opens the port (again, when its device hung up since the last run) and greets the device:
    // true when the run must stop (the device did not answer, or the application is
    // terminating), false when the device answered.
    bool Handshake();
    // Sends the start byte and the image sector by sector, then checks the checksum.
    void TransferImage();

    TUpdateOutcome Outcome() const { return outcome_; }

private:
    enum class TWaitResult : uint8_t { wrArrived, wrTimedOut, wrStopped };

    // Waits `ticks` for `text`, the answer to the last `sent` bytes, in either letter case
    // unless `exactCase`.
    TWaitResult Await(const std::string& text, int32_t ticks, size_t sent, bool exactCase = false);
    int32_t WireAllowance(size_t bytes) const;
    bool AwaitAcknowledgement(int sector);
    using TSectorBytes = std::array<uint8_t, SectorSize>;
    // The sector's bytes from the image, and the checksum with them added.
    uint8_t ReadSector(int sector, TSectorBytes& bytes, uint8_t checksum) const;
    void CheckTheCheckSum(uint8_t checksum);
    bool RefuseDamagedImage();
    void Stop();

    kivo::TKvdCustomComPort& port_;
    const TRomImage& image_;
    IUpdateLog& log_;
    TProgressCallback progress_;
    TUpdateOutcome outcome_ = TUpdateOutcome::uoStopped;
};

// What the updater keeps between runs: the image and the port. Creating it creates an empty
// image and sets the port up; destroying it closes the port.
class TUpdater {
public:
    TUpdater();
    ~TUpdater();
    TUpdater(const TUpdater&) = delete;
    TUpdater& operator=(const TUpdater&) = delete;

    // Runs an update of the image loaded last. When the port chosen for it, or opened again
    // after its device hung up, cannot be opened, the next run asks for a port again.
    TUpdateOutcome Run(IUpdateLog& log, TProgressCallback progress = nullptr);

    TRomImage Image;
    kivo::TKvdComPort ComPort;
};

// "Sector 005 OK" and its kin.
std::string FormatSectorLine(const char* format, int sector);

} // namespace brinomar
