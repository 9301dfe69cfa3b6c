// brinomar-flash FILE.hex: the update without a window. The log lines go to standard output
// exactly as the window shows them, the progress bar to standard error.
#include "app/mainfrm.h"
#include "cli/flashactions.h"
#include "cli/progressbar.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/console.h"
#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"
#include "comm/platform/serial.h"
#include "comm/platform/terminal.h"
#include "comm/port/kvselcom.h"

#include <cstdio>
#include <memory>

namespace brinomar {

namespace {

class TStandardOutputLog : public IUpdateLog {
public:
    explicit TStandardOutputLog(TProgressBar* bar) : bar_(bar) {}

    // Lines already on a terminal stay: every run starts a fresh log anyway.
    void Clear() override {}

    void Add(const std::string& line) override {
        if (bar_ != nullptr) {
            bar_->Erase();
        }
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
        if (bar_ != nullptr) {
            bar_->Redraw();
        }
    }

private:
    TProgressBar* bar_;
};

bool WantProgress(TProgressMode mode) {
    return mode == TProgressMode::pmOn ||
           (mode == TProgressMode::pmAuto && kivo::StandardErrorIsTerminal());
}

int ExitStatusOf(TUpdateOutcome outcome) {
    switch (outcome) {
    case TUpdateOutcome::uoCheckSumOk:
        return ExitSuccess;
    case TUpdateOutcome::uoCheckSumError:
        return ExitCheckSumError;
    case TUpdateOutcome::uoSectorError:
        return ExitSectorError;
    case TUpdateOutcome::uoNoConnection:
        return ExitNoConnection;
    case TUpdateOutcome::uoImageDamaged:
        return ExitFileUnusable;
    case TUpdateOutcome::uoStopped:
        break;
    }
    return ExitInterrupted;
}

// False when a device path finds no free port number.
bool ChoosePort(const TFlashOptions& options, kivo::TKvdComPort& port) {
    if (!options.Port) {
        kivo::SetComSelectPresenter(kivo::NewTerminalComSelectPresenter());
        return true;
    }
    const int number =
        options.Port->Number != 0 ? options.Port->Number : PortNumberForPath(options.Port->Path);
    port.SetComNumber(static_cast<uint16_t>(number));
    return number != 0;
}

void ApplyLineOptions(const TFlashOptions& options, kivo::TKvdComPort& port) {
    if (options.Baud != 0) {
        port.SetBaud(options.Baud);
    }
    if (options.TraceFile) {
        if (!options.TraceFile->empty()) {
            port.SetTraceName(*options.TraceFile);
        }
        port.SetTracing(kivo::tlOn);
    }
    if (options.LogFile) {
        if (!options.LogFile->empty()) {
            port.SetLogName(*options.LogFile);
        }
        port.SetLogging(kivo::tlOn);
    }
}

// A driver refuses a rate its UART cannot make with the bare "Invalid argument", which would not
// say what was wrong: the rate is the one setting the command line gives the port.
void ExplainRefusedRate(const TFlashOptions& options, const std::exception& e) {
    if (options.Baud != 0 && kivo::XlatException(e) == -kivo::kSerialBadArgument) {
        std::fprintf(stderr, "brinomar-flash: the port does not take %d baud\n",
                     static_cast<int>(options.Baud));
    }
}

// Says why, where the machine's serial ports cannot be looked for.
void ExplainFailedPortScan() {
    std::error_code scanError;
    kivo::ScanSerialDevices(kivo::PortScanRoots(), scanError);
    if (scanError) {
        PrintPortScanFailure(scanError);
    }
}

// A port number that no registration gives is looked for among the machine's ports: where they
// could not be looked for, the open can only say that the port does not exist, and why it was
// not found must follow.
void ExplainPortNotFound(const TFlashOptions& options, const std::exception& e) {
    if (!options.Port || options.Port->Number == 0 || kivo::XlatException(e) != kivo::ecBadId ||
        !kivo::ComPortPath(options.Port->Number).empty()) {
        return;
    }
    ExplainFailedPortScan();
}

void PrintDiagnostics(const TRomImage& image) {
    for (const THexDiagnostic& diagnostic : image.Diagnostics()) {
        std::fprintf(stderr, "%s:%s\n", kivo::PrintableText(image.FileName()).c_str(),
                     FormatDiagnostic(diagnostic).c_str());
    }
}

// The reason of a failed write names no file, and the default names lie in the working
// directory, which may be read-only or gone.
void NameUnwrittenFiles(const TFlashOptions& options, const kivo::TKvdComPort& port) {
    std::string files;
    if (options.TraceFile) {
        files = "the trace to " + kivo::PrintableText(port.TraceName());
    }
    if (options.LogFile) {
        files +=
            (files.empty() ? "" : " or ") + ("the log to " + kivo::PrintableText(port.LogName()));
    }
    if (!files.empty()) {
        std::fprintf(stderr, "brinomar-flash: cannot write %s\n", files.c_str());
    }
}

// Closing writes an active trace or log. One that cannot be written turns a successful update
// into a failure, but must not hide what went wrong with the device: a failed update keeps its
// own status.
int ClosePort(const TFlashOptions& options, TUpdater& updater, int status) {
    try {
        updater.ComPort.SetOpen(false);
    } catch (const std::exception& e) {
        kivo::ShowException(e);
        NameUnwrittenFiles(options, updater.ComPort);
        if (status == ExitSuccess) {
            return kivo::ApplicationTerminating() ? ExitInterrupted : ExitFileUnusable;
        }
    }
    return status;
}

// Loads the file, runs the update and closes the port.
int LoadAndRun(const TFlashOptions& options, TUpdater& updater) {
    updater.Image.LoadFile(options.HexFile);
    PrintDiagnostics(updater.Image);
    std::unique_ptr<TProgressBar> bar;
    TProgressCallback progress;
    if (WantProgress(options.Progress)) {
        bar = std::make_unique<TProgressBar>(stderr);
        progress = [&bar](const TTransferProgress& p) { bar->Update(p); };
    }
    TStandardOutputLog log(bar.get());
    const TUpdateOutcome outcome = updater.Run(log, progress);
    bar.reset();
    return ClosePort(options, updater, ExitStatusOf(outcome));
}

} // namespace

int UpdateDevice(const TFlashOptions& options) {
    kivo::TerminateOnStopSignals();
    kivo::IgnoreBrokenPipes();
    TUpdater updater;
    if (!ChoosePort(options, updater.ComPort)) {
        std::fprintf(stderr, "brinomar-flash: no port number is free for %s\n",
                     kivo::PrintableText(options.Port->Path).c_str());
        return ExitFileUnusable;
    }
    ApplyLineOptions(options, updater.ComPort);
    try {
        return LoadAndRun(options, updater);
    } catch (const kivo::ENoPortSelected& e) {
        // Ctrl-C at the port prompt is no failure to report.
        if (kivo::ApplicationTerminating()) {
            return ExitInterrupted;
        }
        kivo::ShowException(e);
        // At a terminal the user saw the choice and declined it, and a list without the
        // machine's ports must not pass for one of a machine that has none.
        if (kivo::StandardInputIsTerminal()) {
            ExplainFailedPortScan();
        }
        std::fprintf(stderr, "brinomar-flash: give the port with --port%s\n",
                     kivo::StandardInputIsTerminal() ? ""
                                                     : "; the ports are offered for choice only "
                                                       "when standard input is a terminal");
        return ExitFileUnusable;
    } catch (const std::exception& e) {
        kivo::ShowException(e);
        ExplainRefusedRate(options, e);
        ExplainPortNotFound(options, e);
        return kivo::ApplicationTerminating() ? ExitInterrupted : ExitFileUnusable;
    }
}

} // namespace brinomar
