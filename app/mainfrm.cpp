#include "app/mainfrm.h"

#include "comm/dispatch/kwuser.h"
#include "comm/platform/framework.h"
#include "comm/platform/serial.h"
#include "comm/platform/winmsg.h"
#include "comm/util/oomisc.h"

#include <cstdio>

namespace brinomar {

namespace {

constexpr char StartByte = 'O';
const std::string Greeting = "US";
const std::string GreetingAnswer = "OK";
const std::string Acknowledgement = "K";

// The device's answers are consumed only by the run's waits.
void IgnoreTrigger(kivo::TKvdCustomComPort*, uint16_t, uint16_t, uint16_t) {}

bool StopWanted() {
    return kivo::ApplicationTerminating();
}

// A device that hung up (its adapter was unplugged, it was switched off) leaves the port open
// on a dead line, where every greeting of a later run would go nowhere: the port is closed, so
// that the run opens the device again.
void CloseDeadLine(kivo::TKvdCustomComPort& port) {
    if (!port.Open()) {
        return;
    }
    kivo::TKvdBaseDispatcher* dispatcher = port.Dispatcher();
    if (dispatcher == nullptr) {
        return;
    }
    dispatcher->RefreshStatus();
    if ((dispatcher->lineErrors & kivo::CE_HANGUP) != 0) {
        port.SetOpen(false);
    }
}

} // namespace

std::string FormatSectorLine(const char* format, int sector) {
    char line[32];
    std::snprintf(line, sizeof line, format, sector);
    return line;
}

void ConfigureUpdatePort(kivo::TKvdComPort& port) {
    port.SetBaud(UpdateBaud);
    port.SetTraceName("KIVO.TRC");
    port.SetLogName("KIVO.LOG");
    port.SetComNumber(0);
    port.SetPromptForPort(true);
    port.SetOnTrigger(kivo::TTriggerEvent::Bind<&IgnoreTrigger>());
}

TUpdateRun::TUpdateRun(kivo::TKvdCustomComPort& port, const TRomImage& image, IUpdateLog& log)
    : port_(port), image_(image), log_(log) {}

TUpdateOutcome TUpdateRun::Execute() {
    if (StopWanted()) {
        return outcome_;
    }
    log_.Clear();
    if (RefuseDamagedImage()) {
        return outcome_;
    }
    log_.Add(LogGetInTouch);
    if (!Handshake()) {
        TransferImage();
    }
    return outcome_;
}

// Sending bytes that are known to differ from the file would leave a device with a broken
// firmware, so such an image never reaches the port.
bool TUpdateRun::RefuseDamagedImage() {
    if (image_.FileName().empty()) {
        log_.Add("No file loaded, nothing sent");
        outcome_ = TUpdateOutcome::uoImageDamaged;
        return true;
    }
    const THexDiagnostic* error = image_.FirstError();
    if (error == nullptr) {
        return false;
    }
    log_.Add("Not sent: line " + std::to_string(error->Line) + ": " + error->Text);
    outcome_ = TUpdateOutcome::uoImageDamaged;
    return true;
}

bool TUpdateRun::Handshake() {
    CloseDeadLine(port_);
    port_.SetOpen(true);
    // Choosing the port runs a modal loop, during which the application may have been closed.
    if (StopWanted()) {
        Stop();
        return true;
    }
    for (int attempt = 0; attempt < GreetingAttempts; ++attempt) {
        port_.PutString(Greeting);
        switch (Await(GreetingAnswer, GreetingTimeoutTicks, Greeting.size())) {
        case TWaitResult::wrArrived:
            log_.Add(LogConnection);
            return false;
        case TWaitResult::wrStopped:
            Stop();
            return true;
        case TWaitResult::wrTimedOut:
            break;
        }
    }
    log_.Add(LogTimeOut);
    outcome_ = TUpdateOutcome::uoNoConnection;
    return true;
}

// The image goes out a sector at a time, each with one PutBlock: the bytes on the line are
// those of sending them one by one, and the host spends one call per sector instead of 128.
// Between an acknowledgement and the next sector there is only the send: the sector is read
// from the image before the wait, and the line of the acknowledgement is logged once the
// sector is on its way, so that the device does not wait for the log (a terminal, a pipe, a
// window).
void TUpdateRun::TransferImage() {
    uint8_t checksum = 0;
    TSectorBytes bytes;
    port_.PutChar(StartByte);
    for (int sector = FirstSector; sector <= LastSector; ++sector) {
        checksum = ReadSector(sector, bytes, checksum);
        if (sector != FirstSector && !AwaitAcknowledgement(sector)) {
            return;
        }
        port_.PutBlock(bytes.data(), SectorSize);
        if (sector != FirstSector) {
            log_.Add(FormatSectorLine(LogSectorOk, sector));
        }
        if (progress_) {
            const int sent = sector - FirstSector + 1;
            progress_({sent, sent * SectorSize});
        }
    }
    log_.Add(LogCheckSum);
    CheckTheCheckSum(checksum);
}

// The acknowledgement of the sector before is logged with the number of the one that follows;
// a run stopped here logs it at once, as nothing more is sent.
bool TUpdateRun::AwaitAcknowledgement(int sector) {
    // The start byte went out with the first sector.
    const size_t sent = SectorSize + (sector == FirstSector + 1 ? 1 : 0);
    switch (Await(Acknowledgement, AcknowledgeTimeoutTicks, sent)) {
    case TWaitResult::wrArrived:
        kivo::ProcessMessages();
        if (StopWanted()) {
            log_.Add(FormatSectorLine(LogSectorOk, sector));
            Stop();
            return false;
        }
        return true;
    case TWaitResult::wrTimedOut:
        log_.Add(FormatSectorLine(LogSectorError, sector));
        outcome_ = TUpdateOutcome::uoSectorError;
        return false;
    case TWaitResult::wrStopped:
        Stop();
        return false;
    }
    return false;
}

uint8_t TUpdateRun::ReadSector(int sector, TSectorBytes& bytes, uint8_t checksum) const {
    const int first = sector * SectorSize;
    for (int i = 0; i < SectorSize; ++i) {
        const int b = image_.GetByte(first + i);
        checksum = static_cast<uint8_t>(checksum + b);
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(b);
    }
    return checksum;
}

// The device may answer "ok" and "k", but the checksum is a number: a byte that differs from it
// only as a letter's other case (a bit flipped on the way) is a wrong checksum.
void TUpdateRun::CheckTheCheckSum(uint8_t checksum) {
    const std::string expected(1, static_cast<char>(checksum));
    switch (Await(expected, CheckSumTimeoutTicks, SectorSize, true)) {
    case TWaitResult::wrArrived:
        log_.Add(LogCheckSumOk);
        outcome_ = TUpdateOutcome::uoCheckSumOk;
        return;
    case TWaitResult::wrTimedOut:
        log_.Add(LogCheckSumError);
        outcome_ = TUpdateOutcome::uoCheckSumError;
        return;
    case TWaitResult::wrStopped:
        Stop();
        return;
    }
}

// A wait ends early, reporting success, when the application is terminating; that must not be
// taken for the device's answer.
TUpdateRun::TWaitResult TUpdateRun::Await(const std::string& text, int32_t ticks, size_t sent,
                                          bool exactCase) {
    const int32_t allowed = ticks + WireAllowance(sent + text.size());
    const bool arrived = port_.WaitForString(text, allowed, true, !exactCase);
    if (StopWanted()) {
        return TWaitResult::wrStopped;
    }
    return arrived ? TWaitResult::wrArrived : TWaitResult::wrTimedOut;
}

// The waits give the device the time the protocol gives it on its 9600-baud line, where the
// bytes of an exchange are on their way within a few ticks. A slower line (brinomar-flash
// --baud) takes longer to carry what was sent and the answer: that difference is added, in
// whole ticks, so that a healthy device is not blamed for the wire. At 9600 baud and above the
// waits are those of the protocol.
int32_t TUpdateRun::WireAllowance(size_t bytes) const {
    const int64_t baud = port_.Baud();
    if (baud <= 0 || baud >= UpdateBaud) {
        return 0;
    }
    const int64_t bitsPerByte =
        1 + port_.DataBits() + (port_.Parity() != kivo::pNone ? 1 : 0) + port_.StopBits();
    const int64_t bits = static_cast<int64_t>(bytes) * bitsPerByte;
    const int64_t extraUs = bits * 1000000 / baud - bits * 1000000 / UpdateBaud;
    const int64_t tickUs = int64_t{kivo::kMillisecondsPerTick} * 1000;
    return static_cast<int32_t>((extraUs + tickUs - 1) / tickUs);
}

// Bytes still queued would reach a device that is no longer being updated: they are dropped.
void TUpdateRun::Stop() {
    outcome_ = TUpdateOutcome::uoStopped;
    if (port_.Open()) {
        port_.FlushOutBuffer();
    }
}

TUpdater::TUpdater() {
    ConfigureUpdatePort(ComPort);
}

// Closing writes an active trace or log; a failure there is shown, not thrown out of here.
TUpdater::~TUpdater() {
    try {
        ComPort.SetOpen(false);
    } catch (const std::exception& e) {
        kivo::ShowException(e);
    }
}

// A port chosen for this run, or opened again after its device hung up, that then would not
// open (it went away, another program holds it, the user may not use it) is not kept: the next
// run asks for a port again instead of failing on the same one until the program is restarted.
TUpdateOutcome TUpdater::Run(IUpdateLog& log, TProgressCallback progress) {
    TUpdateRun run(ComPort, Image, log);
    run.SetProgress(std::move(progress));
    try {
        return run.Execute();
    } catch (...) {
        if (!ComPort.Open()) {
            ComPort.SetComNumber(0);
        }
        throw;
    }
}

} // namespace brinomar
