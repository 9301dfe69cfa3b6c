#include "tests/cli/update_harness.h"

#include "app/hexfiletorom.h"
#include "app/mainfrm.h"

#include <signal.h>

namespace brinomar::testing {

namespace {

constexpr int kStartMs = 5000;
constexpr int kStopMs = 5000;

} // namespace

std::string ExampleFirmware() {
    return std::string(KIVO_SOURCE_DIR) + "/examples/firmware.hex";
}

std::string SentImageOf(const std::string& hexFile) {
    TRomImage image;
    image.LoadFile(hexFile);
    const auto data = image.Data();
    return std::string(data.begin() + TRomImage::FirstSentPosition,
                       data.begin() + TRomImage::ImageSize);
}

std::vector<std::string> LogUpTo(int lastSector) {
    std::vector<std::string> log{LogGetInTouch, LogConnection};
    for (int sector = FirstSector + 1; sector <= lastSector; ++sector) {
        log.push_back(FormatSectorLine(LogSectorOk, sector));
    }
    return log;
}

std::vector<std::string> CompleteLog(const std::string& lastLine) {
    std::vector<std::string> log = LogUpTo(LastSector);
    log.push_back(LogCheckSum);
    log.push_back(lastLine);
    return log;
}

TDevsim::TDevsim(const std::vector<std::string>& args, const std::string& errorFile)
    : process_(ProgramPath("brinomar-devsim"), args, errorFile) {
    path_ = process_.ReadLine(kStartMs).value_or(std::string());
}

int TDevsim::Stop() {
    process_.Signal(SIGTERM);
    return process_.Wait(kStopMs);
}

} // namespace brinomar::testing
