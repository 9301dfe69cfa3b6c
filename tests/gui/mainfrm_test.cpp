// The update window driven as a user drives it: its layout, "Select File" running the update
// against the simulated device, cancelling, the hidden listing path, and closing or a stop
// signal mid-run.
#include "gui/comselectdialog.h"
#include "gui/pictures.h"
#include "gui/qtframework.h"
#include "tests/gui/gui_fixture.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <functional>

namespace brinomar::testing {
namespace {

using TWindow = TWindowTest;

struct TControl {
    QWidget* widget;
    QRect geometry;
    bool hidden;
};

TEST_F(TWindow, ControlsHaveTheirGeometryCaptionsAndInitialState) {
    EXPECT_EQ(form.windowTitle(), "brinomar Update V0.2 english");
    EXPECT_EQ(form.pos(), QPoint(390, 228));
    EXPECT_EQ(form.size(), QSize(449, 171));
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_EQ(form.font().family(), "MS Sans Serif");
    EXPECT_EQ(form.font().pointSize(), 8);

    const TControl controls[] = {
        {form.btnUpdate, QRect(64, 16, 75, 25), false},
        {form.memLog, QRect(168, 16, 153, 121), false},
        {form.Image1, QRect(344, 16, 81, 81), false},
        {form.btnLoadHexFile, QRect(216, 56, 75, 25), true},
        {form.ProgressBar1, QRect(64, 56, 150, 16), true},
        {form.cbLoadVisible, QRect(304, 104, 97, 17), true},
        {form.memRomDisplay, QRect(216, 16, 89, 41), true},
    };
    for (const TControl& control : controls) {
        EXPECT_EQ(control.widget->geometry(), control.geometry)
            << control.widget->metaObject()->className();
        EXPECT_EQ(control.widget->isHidden(), control.hidden)
            << control.widget->metaObject()->className();
    }
    EXPECT_EQ(form.btnUpdate->text(), "Select File");
    EXPECT_EQ(form.btnLoadHexFile->text(), "LoadHexFile");
    EXPECT_EQ(form.cbLoadVisible->text(), "Visible");
    EXPECT_FALSE(form.cbLoadVisible->isChecked());
    EXPECT_EQ(form.lblFileName->text(), "No file selected");
    // The label sizes itself to its text, as its layout font would have made it 93 wide.
    EXPECT_EQ(form.lblFileName->pos(), QPoint(64, 72));
    EXPECT_EQ(form.lblFileName->height(), 16);
    EXPECT_EQ(form.lblFileName->width(), form.lblFileName->sizeHint().width());
    EXPECT_EQ(form.lblFileName->font().pointSize(), 10);
    EXPECT_EQ(form.lblFileName->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    EXPECT_EQ(form.memLog->toPlainText(), "");
    EXPECT_EQ(form.memLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(Lines(*form.memRomDisplay), (std::vector<std::string>{"memRomDispl", "ay"}));
    EXPECT_EQ(form.ProgressBar1->minimum(), 0);
    EXPECT_EQ(form.ProgressBar1->maximum(), 100);
    EXPECT_EQ(form.Image1->pixmap().size(), QSize(81, 81));
    EXPECT_STREQ(TOpenDialog::Title, "Open HexFile");
    EXPECT_STREQ(TOpenDialog::Filter, "Hex files (*.hex)");

    // A screen reader names the controls that show no text of their own.
    const std::vector<QWidget*> textless{form.memLog, form.Image1, form.ProgressBar1,
                                         form.memRomDisplay};
    for (QWidget* control : textless) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr);
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
            << control->metaObject()->className();
    }

    // Tab order: btnLoadHexFile, ProgressBar1, btnUpdate, memLog, cbLoadVisible, memRomDisplay.
    const std::vector<QWidget*> tabOrder{form.btnLoadHexFile, form.ProgressBar1,
                                         form.btnUpdate,      form.memLog,
                                         form.cbLoadVisible,  form.memRomDisplay};
    std::vector<QWidget*> chain;
    for (QWidget* w = form.btnLoadHexFile->nextInFocusChain(); w != form.btnLoadHexFile;
         w = w->nextInFocusChain()) {
        if (std::find(tabOrder.begin(), tabOrder.end(), w) != tabOrder.end()) {
            chain.push_back(w);
        }
    }
    chain.insert(chain.begin(), form.btnLoadHexFile);
    EXPECT_EQ(chain, tabOrder);
}

// A desktop with a dark palette: light text on dark grounds.
class TDarkPalette {
public:
    TDarkPalette() : previous_(QApplication::palette()) {
        QPalette dark = previous_;
        for (const QPalette::ColorRole ground :
             {QPalette::Window, QPalette::Base, QPalette::Button}) {
            dark.setColor(ground, QColor(0x35, 0x35, 0x35));
        }
        for (const QPalette::ColorRole text :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            dark.setColor(text, Qt::white);
        }
        QApplication::setPalette(dark);
    }
    ~TDarkPalette() { QApplication::setPalette(previous_); }
    TDarkPalette(const TDarkPalette&) = delete;
    TDarkPalette& operator=(const TDarkPalette&) = delete;

private:
    QPalette previous_;
};

TEST_F(TWindow, TextOnTheWhiteGroundStaysDarkUnderADarkDesktopPalette) {
    const TDarkPalette dark;
    const TForm1 window;
    EXPECT_EQ(window.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(window.palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(window.cbLoadVisible->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(window.lblFileName->palette().color(QPalette::WindowText), QColor(0, 0, 128));
}

TEST(Pictures, DevicePictureKeepsItsSizeAndIsPaintedAtTheScreensPixelRatio) {
    const QPixmap scaled = DevicePicture(2);
    EXPECT_EQ(scaled.deviceIndependentSize(), QSizeF(81, 81));
    EXPECT_EQ(scaled.size(), QSize(162, 162));
}

TEST_F(TWindow, SelectFileRunsTheUpdateWithTheButtonsDisabled) {
    TDevsim device({"--once", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    form.memLog->setPlainText("an earlier run");
    std::vector<bool> enabledDuringRun;
    QTimer::singleShot(0, &form, [&] {
        enabledDuringRun = {form.btnUpdate->isEnabled(), form.btnLoadHexFile->isEnabled()};
    });

    form.btnUpdate->click();

    EXPECT_EQ(Lines(*form.memLog), CompleteLog());
    EXPECT_EQ(form.lblFileName->text(), "firmware.hex");
    EXPECT_EQ(enabledDuringRun, (std::vector<bool>{false, false}));
    EXPECT_TRUE(form.btnUpdate->isEnabled());
    EXPECT_TRUE(form.btnLoadHexFile->isEnabled());
    EXPECT_EQ(PortChoicesAsked(), 1);
    EXPECT_TRUE(form.Updater().ComPort.Open()) << "the port stays open after a run";
    EXPECT_EQ(form.Updater().ComPort.ComNumber(), kPortNumber);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(device.Wait(10000), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()));
}

// The second file is loaded over the first one's image, and the port chosen for the first run
// is greeted again without asking for it.
TEST_F(TWindow, SecondSelectFileLoadsOverTheImageAndGreetsAgainOnTheOpenPort) {
    TDevsim device({"--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    form.btnUpdate->click();
    ASSERT_EQ(Lines(*form.memLog), CompleteLog());

    // Two bytes at 0x200, the first position sent.
    const std::string patch = dir.Write("patch.hex", ":02020000A55AFD\n:00000001FF\n");
    std::string expected = SentImageOf(ExampleFirmware());
    ASSERT_NE(expected.substr(0, 2), "\xA5\x5A");
    expected.replace(0, 2, "\xA5\x5A");
    ChooseFile(QString::fromStdString(patch));
    form.btnUpdate->click();

    EXPECT_EQ(Lines(*form.memLog), CompleteLog());
    EXPECT_EQ(form.lblFileName->text(), "patch.hex");
    EXPECT_EQ(PortChoicesAsked(), 1);
    EXPECT_TRUE(form.Updater().ComPort.Open());
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(dir.Read("image.bin"), expected);
}

TEST_F(TWindow, CancellingTheFileDialogChangesNothing) {
    ChooseFile({});
    form.memLog->setPlainText("an earlier run");
    form.btnUpdate->click();
    form.btnLoadHexFile->click();
    // The file dialog closed with Escape or its Cancel button hands back no name.
    form.OpenDialog1.SetChooser([](QWidget*) { return std::optional<QString>(QString()); });
    form.btnUpdate->click();
    EXPECT_EQ(form.memLog->toPlainText(), "an earlier run");
    EXPECT_EQ(form.lblFileName->text(), "No file selected");
    // The label sizes itself to its text, as its layout font would have made it 93 wide.
    EXPECT_EQ(form.lblFileName->pos(), QPoint(64, 72));
    EXPECT_EQ(form.lblFileName->height(), 16);
    EXPECT_EQ(form.lblFileName->width(), form.lblFileName->sizeHint().width());
    EXPECT_EQ(PortChoicesAsked(), 0);
    EXPECT_EQ(form.Updater().ComPort.PortState(), kivo::psClosed);
    EXPECT_EQ(form.Updater().Image.FileName(), "");
}

TEST_F(TWindow, ListingIsAppendedBelowWhatTheDisplayHolds) {
    const QString file = QString::fromStdString(ExampleFirmware());
    ChooseFile(file);
    form.cbLoadVisible->setChecked(true);
    form.btnLoadHexFileClick();

    std::vector<std::string> lines = Lines(*form.memRomDisplay);
    ASSERT_EQ(lines.size(), 2u + 3952u);
    EXPECT_EQ(lines[0], "memRomDispl");
    EXPECT_EQ(lines[1], "ay");
    EXPECT_EQ(lines[2], "0000: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");
    EXPECT_EQ(lines.back(), "F6F0: 42 52 4D 2D 46 57 01 03 00 00 24 06 12 00 5A A5");
    EXPECT_EQ(form.lblFileName->text(), file) << "LoadHexFile shows the full path";
    EXPECT_FALSE(form.memRomDisplay->isHidden());
    EXPECT_TRUE(form.ProgressBar1->isHidden());
    EXPECT_EQ(form.ProgressBar1->maximum(), 0xF700);
    EXPECT_EQ(form.ProgressBar1->value(), 0xF6E0);
    EXPECT_EQ(form.memLog->toPlainText(), "");
    EXPECT_EQ(form.Updater().ComPort.PortState(), kivo::psClosed);

    form.btnLoadHexFileClick();
    EXPECT_EQ(Lines(*form.memRomDisplay).size(), 2u + 2 * 3952u);
}

// A file name may hold any bytes but '/' and NUL: markup, control characters, bytes that are no
// UTF-8. The file opens, and the label shows its name on one line as plain text.
TEST_F(TWindow, AnyFileNameOpensAndShowsAsPlainText) {
    const std::string firmware = dir.Read(ExampleFirmware()); // an absolute path
    for (const std::string name : {"<b>fw<i>\x1b[31m.hex", "fw \xff\xfe.hex"}) {
        const std::string file = dir.Write(name, firmware);
        ChooseFile(QFile::decodeName(QByteArray::fromStdString(file)));
        form.btnLoadHexFileClick();
        EXPECT_TRUE(shown.empty()) << shown.front();
        EXPECT_EQ(form.Updater().Image.GetByte(0x200), 0x02) << file;
        EXPECT_EQ(form.lblFileName->textFormat(), Qt::PlainText);
        EXPECT_FALSE(form.lblFileName->text().contains(QChar(0x1b)));
        shown.clear();
    }
    EXPECT_EQ(form.lblFileName->text().toStdString(), dir.File("fw \\xff\\xfe.hex"));
}

TEST_F(TWindow, ListingEndsShowingItsLastLine) {
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    form.cbLoadVisible->setChecked(true);
    form.show();
    form.btnLoadHexFileClick();

    QTextCursor end(form.memRomDisplay->document());
    end.movePosition(QTextCursor::End);
    EXPECT_TRUE(form.memRomDisplay->viewport()->rect().contains(
        form.memRomDisplay->cursorRect(end).center()));
}

// The log and the listing show what the program wrote: typing, deleting and pasting leave them
// as they are, and select-all and copy take their whole text.
TEST_F(TWindow, MemosAreCopiedButNotChangedFromTheKeyboard) {
    form.ShowDiagnosticControls();
    form.show();
    QApplication::setActiveWindow(&form);
    form.memLog->setPlainText("Get in touch with Brinomar\nConnection with Brinomar");
    for (QPlainTextEdit* memo : {form.memLog, form.memRomDisplay}) {
        const std::string text = memo->toPlainText().toStdString();
        memo->setFocus();
        QGuiApplication::clipboard()->setText("pasted");
        PressKey(*memo, Qt::Key_X, Qt::NoModifier, "x");
        PressKey(*memo, Qt::Key_Delete);
        PressKey(*memo, Qt::Key_Return, Qt::NoModifier, "\r");
        PressKey(*memo, Qt::Key_V, Qt::ControlModifier);
        const char* name = memo == form.memLog ? "memLog" : "memRomDisplay";
        EXPECT_EQ(memo->toPlainText().toStdString(), text) << name;

        PressKey(*memo, Qt::Key_A, Qt::ControlModifier);
        PressKey(*memo, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), text) << name;
    }
}

TEST_F(TWindow, PortThatCannotBeOpenedIsShownAndTheLogKeepsTheGreetingLine) {
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    form.btnUpdate->click(); // no device at the port number: the choice is declined
    EXPECT_EQ(Lines(*form.memLog), std::vector<std::string>{LogGetInTouch});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("ComNumber"), std::string::npos) << shown[0];
    EXPECT_FALSE(form.Updater().ComPort.Open());
    EXPECT_TRUE(form.btnUpdate->isEnabled());
}

TEST_F(TWindow, UnreadableFileIsShownAndTheRunDoesNotStart) {
    const std::string missing = dir.File("missing.hex");
    ChooseFile(QString::fromStdString(missing));
    form.memLog->setPlainText("an earlier run");
    form.btnUpdate->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find(missing), std::string::npos) << shown[0];
    EXPECT_EQ(form.lblFileName->text(), "missing.hex");
    EXPECT_EQ(form.memLog->toPlainText(), "an earlier run");
    EXPECT_EQ(PortChoicesAsked(), 0);
    EXPECT_TRUE(form.btnUpdate->isEnabled());
    EXPECT_TRUE(form.btnLoadHexFile->isEnabled());
}

TEST_F(TWindow, DamagedFileIsNotSent) {
    const std::string file = dir.Write("damaged.hex", ":0G0200000102\n:00000001FF\n");
    ChooseFile(QString::fromStdString(file));
    form.btnUpdate->click();
    const std::vector<std::string> log = Lines(*form.memLog);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Not sent: line 1: ", 0), 0u) << log[0];
    EXPECT_EQ(PortChoicesAsked(), 0);
    EXPECT_EQ(form.Updater().ComPort.PortState(), kivo::psClosed);
}

TEST_F(TWindow, ClosingTheWindowDuringARunEndsIt) {
    TDevsim device({"--pace", "9600", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    form.show();
    QTimer::singleShot(600, &form, [this] { form.close(); });

    form.btnUpdate->click();

    const std::vector<std::string> log = Lines(*form.memLog);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], LogConnection);
    EXPECT_NE(log.back(), LogCheckSumOk);
    EXPECT_LT(log.size(), 20u);
    EXPECT_TRUE(kivo::ApplicationTerminating());
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_LT(dir.Read("image.bin").size(), 20u * SectorSize);
}

// The desktop's logout (SIGTERM), Ctrl-C in the terminal that started the program, or that
// terminal closing: the run ends as when the window is closed, and the port's close still
// writes the trace and the log.
TEST_F(TWindow, StopSignalDuringARunEndsItAsClosingTheWindowDoes) {
    TDevsim device({"--pace", "9600", "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    kivo::TKvdComPort& port = form.Updater().ComPort;
    port.SetTraceName(dir.File("run.trc"));
    port.SetTracing(kivo::tlOn);
    port.SetLogName(dir.File("run.log"));
    port.SetLogging(kivo::tlOn);
    form.show();
    const TStopSignals stopSignals;
    // The signal comes once the second sector is on its way.
    QObject::connect(form.memLog, &QPlainTextEdit::blockCountChanged, &form, [](int lines) {
        if (lines == 3) {
            raise(SIGTERM);
        }
    });

    form.btnUpdate->click();

    EXPECT_EQ(Lines(*form.memLog), LogUpTo(FirstSector + 1));
    EXPECT_TRUE(stopSignals.Caught());
    EXPECT_TRUE(kivo::ApplicationTerminating());
    EXPECT_TRUE(form.isHidden()) << "the window was not closed";
    EXPECT_TRUE(shown.empty());
    ASSERT_TRUE(port.Open());
    port.SetOpen(false);
    EXPECT_NE(dir.Read("run.trc").find("Transmit"), std::string::npos);
    EXPECT_NE(dir.Read("run.log").find("WriteCom"), std::string::npos);
    EXPECT_EQ(device.Stop(), 0);
    const std::string received = dir.Read("image.bin");
    EXPECT_LE(received.size(), 2u * SectorSize);
    EXPECT_EQ(received, SentImageOf(ExampleFirmware()).substr(0, received.size()));
}

// The port selection as a test plays it.
// The run's port with its trace on, written to sent.trc by SentTrace.
kivo::TKvdComPort& TracedPort(TForm1& form, kivo::testing::TScratchDir& dir) {
    kivo::TKvdComPort& port = form.Updater().ComPort;
    port.SetTraceName(dir.File("sent.trc"));
    port.SetTracing(kivo::tlOn);
    return port;
}

std::string SentTrace(kivo::TKvdComPort& port, kivo::testing::TScratchDir& dir) {
    port.SetTracing(kivo::tlDump);
    return dir.Read("sent.trc");
}

class TPlayedPortChoice : public kivo::IComSelectPresenter {
public:
    using TPlay = std::function<kivo::TModalResult(kivo::TComSelectForm&)>;
    explicit TPlayedPortChoice(TPlay play) : play_(std::move(play)) {}
    kivo::TModalResult ShowModal(kivo::TComSelectForm& form) override { return play_(form); }

private:
    TPlay play_;
};

TEST_F(TWindow, ClosingTheWindowWhileThePortIsChosenSendsNothing) {
    TDevsim device({}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    kivo::TKvdComPort& port = TracedPort(form, dir);
    form.show();
    // The application is told to end while the port selection is open.
    kivo::SetComSelectPresenter(std::make_shared<TPlayedPortChoice>([this](auto& choice) {
        form.close();
        return ChoosePort(choice, kPortNumber);
    }));

    form.btnUpdate->click();

    EXPECT_EQ(Lines(*form.memLog), std::vector<std::string>{LogGetInTouch});
    EXPECT_TRUE(shown.empty());
    const std::string trace = SentTrace(port, dir);
    EXPECT_EQ(trace.find("Transmit"), std::string::npos) << trace;
    EXPECT_EQ(device.Stop(), 0);
}

// A stop signal closes the port selection dialog with the window: the user asked to end, which
// is no failure to report. A message box then would open after the windows had gone and hold
// the program until somebody clicked it.
TEST_F(TWindow, StopSignalWhileThePortIsChosenEndsWithoutAMessage) {
    TDevsim device({}, dir.File("devsim.err"));
    ConnectDevice(device);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    kivo::TKvdComPort& port = TracedPort(form, dir);
    form.show();
    const TStopSignals stopSignals;
    kivo::SetComSelectPresenter(NewQtComSelectPresenter());
    // The first pass of the dialog's event loop.
    QTimer::singleShot(0, &form, [] { raise(SIGTERM); });

    form.btnUpdate->click();

    EXPECT_TRUE(stopSignals.Caught());
    EXPECT_TRUE(form.isHidden()) << "the window was not closed";
    EXPECT_EQ(Lines(*form.memLog), std::vector<std::string>{LogGetInTouch});
    EXPECT_TRUE(shown.empty()) << shown.front();
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(SentTrace(port, dir).find("Transmit"), std::string::npos);
    EXPECT_EQ(device.Stop(), 0);
}

// The adapter chosen first is unplugged before OK and comes back under another number.
TEST_F(TWindow, PortThatWouldNotOpenIsAskedForAgainOnTheNextRun) {
    constexpr uint32_t kGone = kPortNumber + 1;
    TDevsim device({"--save", dir.File("image.bin")}, dir.File("devsim.err"));
    ConnectDevice(device);
    ASSERT_EQ(kivo::RegisterComPort(kGone, device.Path()), 0);
    int asked = 0;
    kivo::SetComSelectPresenter(std::make_shared<TPlayedPortChoice>([&](auto& choice) {
        if (++asked > 1) {
            return ChoosePort(choice, kPortNumber);
        }
        const kivo::TModalResult result = ChoosePort(choice, kGone);
        kivo::UnregisterComPort(kGone);
        return result;
    }));
    ChooseFile(QString::fromStdString(ExampleFirmware()));

    form.btnUpdate->click();
    EXPECT_EQ(Lines(*form.memLog), std::vector<std::string>{LogGetInTouch});
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_FALSE(form.Updater().ComPort.Open());

    form.btnUpdate->click();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(Lines(*form.memLog), CompleteLog());
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(form.Updater().ComPort.ComNumber(), kPortNumber);
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()));
}

// The device hangs up in the middle of a run (its adapter unplugged, say) and is back at the
// same path for the next one; before it is back, the port is asked for again.
TEST_F(TWindow, DeviceThatHungUpIsOpenedAgainOnTheNextRun) {
    const std::string link = dir.File("device");
    ASSERT_EQ(kivo::RegisterComPort(kPortNumber, link), 0);
    ChooseFile(QString::fromStdString(ExampleFirmware()));
    {
        TDevsim device({"--link", link, "--hangup-after", "10"}, dir.File("devsim.err"));
        form.btnUpdate->click();
        EXPECT_EQ(Lines(*form.memLog).back(), FormatSectorLine(LogSectorError, 11));
        EXPECT_EQ(device.Wait(10000), 0);
    }

    form.btnUpdate->click();
    EXPECT_EQ(Lines(*form.memLog), std::vector<std::string>{LogGetInTouch});
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_FALSE(form.Updater().ComPort.Open());

    TDevsim device({"--link", link, "--save", dir.File("image.bin")}, dir.File("devsim.err"));
    form.btnUpdate->click();
    EXPECT_EQ(Lines(*form.memLog), CompleteLog());
    EXPECT_EQ(PortChoicesAsked(), 2);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(dir.Read("image.bin"), SentImageOf(ExampleFirmware()));
}

TEST_F(TWindow, ButtonPressedFromTheKeyboardHasTheFocusAgainAfterItsRun) {
    const QString file =
        QString::fromStdString(dir.Write("damaged.hex", ":0G0200000102\n:00000001FF\n"));
    ChooseFile(file);
    form.show();
    QApplication::setActiveWindow(&form);
    form.btnUpdate->setFocus();
    ASSERT_TRUE(form.btnUpdate->hasFocus());

    form.btnUpdate->click();

    EXPECT_TRUE(form.btnUpdate->hasFocus());

    // The file dialog is a window of its own: when it has closed, the window is not active
    // again yet, and the run starts before it is.
    form.OpenDialog1.SetChooser([&file](QWidget* parent) -> std::optional<QString> {
        QDialog dialog(parent);
        QTimer::singleShot(0, &dialog, &QDialog::accept);
        dialog.exec();
        return file;
    });
    form.btnUpdate->click();

    EXPECT_EQ(form.focusWidget(), form.btnUpdate);
    QApplication::setActiveWindow(&form);
    EXPECT_TRUE(form.btnUpdate->hasFocus());
}

} // namespace
} // namespace brinomar::testing
