// brinomar-update: the updater's window.
//
//   brinomar-update [--diagnostics] [--screenshot FILE.png] [--version]
//
// --diagnostics shows the controls the window keeps hidden (LoadHexFile, the listing and its
// progress bar); --screenshot saves a picture of the window once it is on the screen and ends.
// The build runs the hidden --write-icon FILE.png to paint the icon it installs.
#include "comm/platform/console.h"
#include "gui/mainfrm.h"
#include "gui/pictures.h"
#include "gui/qtframework.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QImageWriter>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The installed icon's size: hicolor/256x256/apps in the installation.
constexpr int kInstalledIconSize = 256;

// The status after a stop signal, as brinomar-flash ends when interrupted.
constexpr int kExitInterrupted = 130;

QtMessageHandler gQtMessageHandler = nullptr;

// Qt aborts when it cannot reach a display; the user gets a plain error and a failure status
// instead of a crash.
void ExitOnFatalStartMessage(QtMsgType type, const QMessageLogContext& context,
                             const QString& text) {
    if (type != QtFatalMsg) {
        gQtMessageHandler(type, context, text);
        return;
    }
    std::fprintf(stderr, "brinomar-update: cannot show the window: %s\n", qPrintable(text));
    std::_Exit(EXIT_FAILURE);
}

// A picture that could not be saved is named on standard error, with Qt's reason.
bool SavePicture(const QImage& picture, const QString& file) {
    QImageWriter writer(file);
    if (writer.write(picture)) {
        return true;
    }
    std::fprintf(stderr, "brinomar-update: cannot write %s: %s\n",
                 kivo::PrintableText(file.toLocal8Bit().toStdString()).c_str(),
                 qPrintable(writer.errorString()));
    return false;
}

// The program's options; Qt's parser answers --help and --version itself.
struct TCommandLine {
    QCommandLineParser parser;
    const QCommandLineOption diagnostics{"diagnostics", "Show the hidden diagnostic controls."};
    const QCommandLineOption screenshot{"screenshot", "Save a picture of the window and end.",
                                        "FILE.png"};
    QCommandLineOption writeIcon{"write-icon", "Save the application icon and end.", "FILE.png"};

    TCommandLine() {
        parser.setApplicationDescription("Updates a Brinomar device with a HEX firmware file.");
        parser.addHelpOption();
        parser.addVersionOption();
        writeIcon.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(diagnostics);
        parser.addOption(screenshot);
        parser.addOption(writeIcon);
    }
};

// Help and the version need no display, which the window's application cannot start without.
// A command line that may ask for them is first read by a core application: it prints the
// answer and ends the program; otherwise the window's application reads the command line
// again. Options that only the window's application knows (-platform, -style, ...) are
// unknown to the core one: such a command line, or a mistaken one, is left to the window's.
void AnswerWithoutADisplay(int argc, char** argv) {
    const std::vector<std::string> answering = {"-h",         "-?", "--help",
                                                "--help-all", "-v", "--version"};
    if (std::none_of(argv + 1, argv + argc, [&answering](const char* arg) {
            return std::find(answering.begin(), answering.end(), arg) != answering.end();
        })) {
        return;
    }
    QCoreApplication core(argc, argv);
    TCommandLine line;
    if (line.parser.parse(QCoreApplication::arguments())) {
        line.parser.process(core);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationVersion(BRINOMAR_VERSION);
    AnswerWithoutADisplay(argc, argv);
    gQtMessageHandler = qInstallMessageHandler(ExitOnFatalStartMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(gQtMessageHandler);
    // Lets the desktop match the window to its desktop entry (and so to its icon).
    QApplication::setDesktopFileName("brinomar-update");
    TCommandLine line;
    QCommandLineParser& parser = line.parser;
    parser.process(app);
    // The window takes no file from the command line; a name given there is not silently
    // dropped.
    if (!parser.positionalArguments().isEmpty()) {
        const QByteArray argument = parser.positionalArguments().front().toLocal8Bit();
        std::fprintf(stderr, "brinomar-update: Unexpected argument '%s'.\n",
                     kivo::PrintableText(argument.toStdString()).c_str());
        return EXIT_FAILURE;
    }
    if (parser.isSet(line.writeIcon)) {
        const QImage icon = brinomar::PaintedPixmap(kInstalledIconSize).toImage();
        return SavePicture(icon, parser.value(line.writeIcon)) ? EXIT_SUCCESS : EXIT_FAILURE;
    }

    // Outlives the window, so that a second signal does not end the close of the port.
    const brinomar::TStopSignals stopSignals;
    brinomar::TQtFramework framework;
    brinomar::TForm1 form;
    if (parser.isSet(line.diagnostics)) {
        form.ShowDiagnosticControls();
    }
    form.show();
    if (parser.isSet(line.screenshot)) {
        const QString file = parser.value(line.screenshot);
        QTimer::singleShot(500, &form, [&form, file] {
            QApplication::exit(SavePicture(form.grab().toImage(), file) ? 0 : 1);
        });
    }
    const int status = app.exec();
    return stopSignals.Caught() ? kExitInterrupted : status;
}
