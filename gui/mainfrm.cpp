#include "gui/mainfrm.h"

#include "app/romlisting.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/console.h"
#include "gui/pictures.h"
#include "gui/qtframework.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>

#include <filesystem>
#include <optional>

namespace brinomar {

namespace {

namespace fs = std::filesystem;

constexpr int kLeft = 390;
constexpr int kTop = 228;
constexpr int kWidth = 449;
constexpr int kHeight = 171;
const QColor kNavy(0x00, 0x00, 0x80);

// memLog as the run's log.
class TMemoLog : public IUpdateLog {
public:
    explicit TMemoLog(QPlainTextEdit& memo) : memo_(memo) {}
    void Clear() override { memo_.clear(); }
    void Add(const std::string& line) override {
        memo_.appendPlainText(QString::fromStdString(line));
    }

private:
    QPlainTextEdit& memo_;
};

// The buttons stay disabled while a file is loaded, listed or sent: a second press would start
// a run inside the running one. Disabling a button moves the focus away from it; a keyboard
// user gets it back afterwards, to press the button again. The window's own focus is what
// counts: just after the file dialog has closed, the window is not yet active again.
class TBusyButtons {
public:
    TBusyButtons(QPushButton& a, QPushButton& b)
        : a_(a), b_(b), focused_(Focused(a)   ? &a
                                 : Focused(b) ? &b
                                              : nullptr) {
        Enable(false);
    }
    ~TBusyButtons() {
        Enable(true);
        if (focused_ != nullptr) {
            focused_->setFocus();
        }
    }
    TBusyButtons(const TBusyButtons&) = delete;
    TBusyButtons& operator=(const TBusyButtons&) = delete;

private:
    static bool Focused(const QPushButton& button) {
        return button.window()->focusWidget() == &button;
    }
    void Enable(bool on) {
        a_.setEnabled(on);
        b_.setEnabled(on);
    }
    QPushButton& a_;
    QPushButton& b_;
    QPushButton* focused_;
};

// The layouts name the classic dialog font; where it is missing, take one of similar width.
void SubstituteLayoutFont() {
    QFont::insertSubstitutions("MS Sans Serif", {"Microsoft Sans Serif", "Arial", "Liberation Sans",
                                                 "DejaVu Sans Condensed"});
}

// The file name label sizes itself to its text, keeping its place and height.
void SetLabelText(QLabel& label, const QString& text) {
    label.setText(text);
    label.resize(label.sizeHint().width(), label.height());
}

// The entry of `dir` whose name Qt shows as `shown`, when there is exactly one.
std::optional<std::string> EntryShownAs(const std::string& dir, const QString& shown) {
    std::optional<std::string> found;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().native();
        if (QFile::decodeName(QByteArray::fromStdString(name)) == shown) {
            if (found) {
                return std::nullopt;
            }
            found = name;
        }
    }
    return found;
}

// A file name may hold any bytes but '/' and NUL, but Qt reads names as UTF-8 and shows a byte
// that is none as U+FFFD, so a name it hands back may no longer lead to its file. Each part of
// the path holding that character is taken to be the one entry of its directory shown alike.
std::string LocalFileName(const QString& name) {
    if (!name.contains(QChar::ReplacementCharacter)) {
        return QFile::encodeName(name).toStdString();
    }
    std::string path;
    const QStringList parts = name.split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            path += '/';
        }
        std::string part = QFile::encodeName(parts[i]).toStdString();
        if (parts[i].contains(QChar::ReplacementCharacter)) {
            part = EntryShownAs(path.empty() ? "." : path, parts[i]).value_or(part);
        }
        path += part;
    }
    return path;
}

// A file name is shown on one line, its control characters and stray bytes escaped; the label
// takes it as plain text, so "<b>a</b>.hex" is a name, not markup.
QString DisplayedName(const std::string& localName) {
    return QString::fromStdString(kivo::PrintableText(localName));
}

// The memos show what the program wrote (the log, the image listing): the keyboard selects all
// of their text and copies it, but does not change it.
QPlainTextEdit* NewMemo(QWidget* parent, const QRect& geometry) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setGeometry(geometry);
    memo->setReadOnly(true);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return memo;
}

QPushButton* NewButton(QWidget* parent, const char* caption, const QRect& geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    return button;
}

QString ChooseWithFileDialog(QWidget* parent) {
    QFileDialog dialog(parent, TOpenDialog::Title);
    dialog.setNameFilter(TOpenDialog::Filter);
    dialog.setDefaultSuffix(TOpenDialog::DefaultExt);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().front();
}

} // namespace

bool TOpenDialog::Execute(QWidget* parent) {
    const std::optional<QString> chosen =
        chooser_ ? chooser_(parent) : std::optional<QString>(ChooseWithFileDialog(parent));
    if (!chosen || chosen->isEmpty()) {
        return false;
    }
    FileName = *chosen;
    return true;
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setObjectName("Form1");
    setWindowTitle(Caption);
    setWindowIcon(WindowIcon());
    move(kLeft, kTop);
    resize(kWidth, kHeight);
    SubstituteLayoutFont();
    setFont(QFont("MS Sans Serif", 8));
    // The text drawn straight on the white ground ("Visible") is black: a dark desktop palette's
    // light text would vanish on it.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);
    CreateControls();
    SetTabOrder();
}

TForm1::~TForm1() = default;

void TForm1::CreateControls() {
    btnUpdate = NewButton(this, "Select File", QRect(64, 16, 75, 25));
    connect(btnUpdate, &QPushButton::clicked, this,
            [this] { RunHandler([this] { btnUpdateClick(); }); });

    lblFileName = new QLabel(this);
    lblFileName->setGeometry(64, 72, 93, 16);
    lblFileName->setTextFormat(Qt::PlainText);
    QFont labelFont = font();
    labelFont.setPointSize(10);
    lblFileName->setFont(labelFont);
    QPalette labelColours = lblFileName->palette();
    labelColours.setColor(QPalette::WindowText, kNavy);
    lblFileName->setPalette(labelColours);
    SetLabelText(*lblFileName, "No file selected");

    // The controls without a caption of their own carry a name for screen readers.
    memLog = NewMemo(this, QRect(168, 16, 153, 121));
    memLog->setAccessibleName("Update log");

    Image1 = new QLabel(this);
    Image1->setGeometry(344, 16, 81, 81);
    Image1->setPixmap(DevicePicture(qGuiApp->devicePixelRatio()));
    Image1->setAccessibleName("Brinomar device");

    btnLoadHexFile = NewButton(this, "LoadHexFile", QRect(216, 56, 75, 25));
    btnLoadHexFile->hide();
    connect(btnLoadHexFile, &QPushButton::clicked, this,
            [this] { RunHandler([this] { btnLoadHexFileClick(); }); });

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(64, 56, 150, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setAccessibleName("Listing progress");
    ProgressBar1->hide();

    cbLoadVisible = new QCheckBox("Visible", this);
    cbLoadVisible->setGeometry(304, 104, 97, 17);
    cbLoadVisible->hide();

    memRomDisplay = NewMemo(this, QRect(216, 16, 89, 41));
    memRomDisplay->setPlainText("memRomDispl\nay");
    memRomDisplay->setAccessibleName("Image listing");
    memRomDisplay->hide();
}

void TForm1::SetTabOrder() {
    setTabOrder(btnLoadHexFile, ProgressBar1);
    setTabOrder(ProgressBar1, btnUpdate);
    setTabOrder(btnUpdate, memLog);
    setTabOrder(memLog, cbLoadVisible);
    setTabOrder(cbLoadVisible, memRomDisplay);
}

void TForm1::ShowDiagnosticControls() {
    btnLoadHexFile->show();
    ProgressBar1->show();
    cbLoadVisible->show();
    memRomDisplay->show();
}

void TForm1::btnUpdateClick() {
    if (!OpenDialog1.Execute(this)) {
        return;
    }
    TBusyButtons busy(*btnUpdate, *btnLoadHexFile);
    const fs::path file = LocalFileName(OpenDialog1.FileName);
    SetLabelText(*lblFileName, DisplayedName(file.filename().string()));
    LoadAndListFile();
    RunUpdate();
}

void TForm1::btnLoadHexFileClick() {
    if (!OpenDialog1.Execute(this)) {
        return;
    }
    TBusyButtons busy(*btnUpdate, *btnLoadHexFile);
    SetLabelText(*lblFileName, DisplayedName(LocalFileName(OpenDialog1.FileName)));
    LoadAndListFile();
}

// The file is loaded over the image the last file without errors left, without clearing it first.
void TForm1::LoadAndListFile() {
    updater_.Image.LoadFile(LocalFileName(OpenDialog1.FileName));
    if (cbLoadVisible->isChecked()) {
        ListImage();
    }
}

// The listing goes below whatever memRomDisplay holds; the window stays responsive meanwhile.
void TForm1::ListImage() {
    ProgressBar1->setMaximum(TRomImage::ImageSize);
    memRomDisplay->hide();
    ListRomImage(
        updater_.Image,
        [this](const std::string& line) {
            memRomDisplay->appendPlainText(QString::fromStdString(line));
        },
        [this](int position) {
            ProgressBar1->setValue(position);
            kivo::ProcessMessages();
        });
    memRomDisplay->show();
    // Appending to the hidden display did not scroll it; it ends on the newest line as the log
    // does.
    memRomDisplay->moveCursor(QTextCursor::End);
}

void TForm1::RunUpdate() {
    TMemoLog log(*memLog);
    try {
        updater_.Run(log);
    } catch (const kivo::ENoPortSelected&) {
        // A stop signal closes the port selection with the window: no failure to report, and a
        // message box would hold the ending program until somebody clicked it.
        if (!kivo::ApplicationTerminating()) {
            throw;
        }
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    kivo::SetApplicationTerminating(true);
    event->accept();
}

} // namespace brinomar
