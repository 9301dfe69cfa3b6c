#include "gui/comselectdialog.h"

#include "comm/platform/console.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QScreen>

namespace brinomar {

namespace {

constexpr int kClientWidth = 220;
constexpr int kClientHeight = 131;

// The layout's widths suit the classic dialog font. Where the fallback font is wider (only the
// plain DejaVu Sans installed, say), the text is narrowed to the frame's inside instead of
// running past it and off the dialog's edge.
// The stretch is found step by step: a narrower face of the family may be taken and stretched.
void NarrowToFit(QLabel& label, int room) {
    QFont narrowed = label.font();
    for (int stretch = 99; stretch >= QFont::UltraCondensed &&
                           QFontMetrics(narrowed).horizontalAdvance(label.text()) > room;
         --stretch) {
        narrowed.setStretch(stretch);
    }
    label.setFont(narrowed);
}

QLabel* NewLabel(const QFrame& frame, const char* text, int left, int top, int width) {
    auto* label = new QLabel(QString::fromUtf8(text), frame.parentWidget());
    NarrowToFit(*label, frame.geometry().right() - frame.frameWidth() + 1 - left);
    // Labels size themselves to their text, as wide as the layout says at least.
    label->setGeometry(left, top, std::max(width, label->sizeHint().width()), 13);
    return label;
}

QPushButton* NewButton(QWidget* parent, const char* caption, int left) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setGeometry(left, 95, 85, 27);
    return button;
}

void CentreOnScreen(QWidget& window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        window.move(available.center() - window.rect().center());
    }
}

class TQtComSelectPresenter : public kivo::IComSelectPresenter {
public:
    kivo::TModalResult ShowModal(kivo::TComSelectForm& form) override {
        TComSelectDialog dialog(form, QApplication::activeWindow());
        if (dialog.exec() != QDialog::Accepted) {
            return kivo::mrAbort;
        }
        form.SetItemIndex(dialog.PortsComboBox->currentIndex());
        return kivo::mrOk;
    }
};

} // namespace

TComSelectDialog::TComSelectDialog(const kivo::TComSelectForm& form, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("ComSelectForm");
    setWindowTitle(QString::fromUtf8(kivo::TComSelectForm::Caption));
    QFont font("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setFixedSize(kClientWidth, kClientHeight);

    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 42);
    Label1 = NewLabel(*Bevel1, kivo::TComSelectForm::Label1Text, 18, 14, 176);
    Label2 = NewLabel(*Bevel1, kivo::TComSelectForm::Label2Text, 18, 30, 133);

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 64, 201, 21);
    for (const kivo::TComSelectEntry& entry : form.Entries()) {
        PortsComboBox->addItem(EntryText(entry));
    }
    PortsComboBox->setCurrentIndex(form.ItemIndex());
    // The closed list shows what fits; the open one shows the whole path and description.
    PortsComboBox->view()->setMinimumWidth(PortsComboBox->view()->sizeHintForColumn(0) + 8);

    OkBtn = NewButton(this, "OK", 8);
    OkBtn->setDefault(true);
    AbortBtn = NewButton(this, "Cancel", 124);
    connect(OkBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(AbortBtn, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(OkBtn, AbortBtn);
    setTabOrder(AbortBtn, PortsComboBox);
    OkBtn->setFocus();
    CentreOnScreen(*this);
}

// A path or a USB adapter's product name may hold any bytes: the list shows them on one line,
// control characters and stray bytes escaped.
QString TComSelectDialog::EntryText(const kivo::TComSelectEntry& entry) {
    QString text = QString::fromStdString(entry.Text);
    if (!entry.Path.empty()) {
        text += "  " + QString::fromStdString(kivo::PrintableText(entry.Path));
    }
    if (!entry.Description.empty()) {
        text += "  " + QString::fromStdString(kivo::PrintableText(entry.Description));
    }
    return text;
}

std::shared_ptr<kivo::IComSelectPresenter> NewQtComSelectPresenter() {
    return std::make_shared<TQtComSelectPresenter>();
}

} // namespace brinomar
