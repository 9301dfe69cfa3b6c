// The framework on Qt: window messages from other threads reach the GUI thread through Qt's
// event loop, and the port selection dialog lists the ports and reports the user's choice.
#include "gui/comselectdialog.h"
#include "tests/gui/gui_fixture.h"

#include "comm/platform/winmsg.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

namespace brinomar::testing {
namespace {

constexpr kivo::UINT kPing = kivo::WM_USER + 1;

QEventLoop* gLoop = nullptr;
kivo::ThreadId gHandledOn = 0;

kivo::LRESULT PingProc(kivo::HWND window, kivo::UINT message, kivo::WPARAM w, kivo::LPARAM l) {
    if (message != kPing) {
        return kivo::DefWindowProc(window, message, w, l);
    }
    gHandledOn = kivo::GetCurrentThreadId();
    gLoop->quit();
    return 0;
}

TEST(QtHostLoop, MessagePostedFromAnotherThreadIsHandledByQtsEventLoop) {
    ASSERT_TRUE(kivo::RegisterClass({"QtHostLoopPing", PingProc, 0}));
    const kivo::HWND window = kivo::CreateWindow("QtHostLoopPing");
    QEventLoop loop;
    gLoop = &loop;
    gHandledOn = 0;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    std::thread poster([window] { kivo::PostMessage(window, kPing, 0, 0); });
    loop.exec();
    poster.join();
    EXPECT_EQ(gHandledOn, kivo::GetCurrentThreadId());
    kivo::DestroyWindow(window);
    kivo::UnregisterClass("QtHostLoopPing");
}

// A dispatcher thread whose body fails shows the exception from that thread: the box appears on
// the GUI thread, and the failing thread does not wait for it.
TEST(QtFramework, ExceptionShownByAnotherThreadAppearsOnTheGuiThread) {
    std::thread failing([] { kivo::ShowException(std::runtime_error("device gone")); });
    failing.join();
    QString text;
    bool onGuiThread = false;
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    // Queued after the hand-over, so it runs inside the box's own loop.
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                onGuiThread = box->thread() == qApp->thread();
                box->accept();
            }
            loop.quit();
        },
        Qt::QueuedConnection);
    loop.exec();
    EXPECT_EQ(text, "device gone");
    EXPECT_TRUE(onGuiThread);
}

class ComSelectDialog : public TWindowTest {
protected:
    // Answers the dialog that the presenter is about to show.
    static void AnswerDialog(const std::function<void(TComSelectDialog&)>& answer) {
        QTimer::singleShot(0, [answer] {
            if (auto* dialog = dynamic_cast<TComSelectDialog*>(QApplication::activeModalWidget())) {
                answer(*dialog);
            }
        });
    }
};

TEST_F(ComSelectDialog, LayoutListsThePortsWithTheirPaths) {
    TDevsim device({}, dir.File("devsim.err"));
    ConnectDevice(device);
    const kivo::TComSelectForm form;
    TComSelectDialog dialog(form);

    EXPECT_EQ(dialog.windowTitle(), "Select Port");
    EXPECT_EQ(dialog.size(), QSize(220, 131));
    EXPECT_EQ(dialog.Bevel1->geometry(), QRect(8, 8, 201, 42));
    EXPECT_EQ(dialog.Label1->text(), "The configured serial port is not valid.");
    EXPECT_EQ(dialog.Label1->pos(), QPoint(18, 14));
    EXPECT_EQ(dialog.Label2->text(), "Please choose another port.");
    EXPECT_EQ(dialog.Label2->pos(), QPoint(18, 30));
    EXPECT_EQ(dialog.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
    EXPECT_FALSE(dialog.PortsComboBox->isEditable());
    EXPECT_EQ(dialog.OkBtn->geometry(), QRect(8, 95, 85, 27));
    EXPECT_EQ(dialog.OkBtn->text(), "OK");
    EXPECT_TRUE(dialog.OkBtn->isDefault());
    EXPECT_EQ(dialog.AbortBtn->geometry(), QRect(124, 95, 85, 27));
    EXPECT_EQ(dialog.AbortBtn->text(), "Cancel");
    EXPECT_EQ(dialog.font().family(), "MS Sans Serif");
    EXPECT_EQ(dialog.font().pixelSize(), 11);
    EXPECT_EQ(dialog.palette().color(QPalette::Window), dialog.palette().color(QPalette::Button));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "a dialog border does not resize";
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(dialog.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    const std::vector<QWidget*> tabOrder{dialog.OkBtn, dialog.AbortBtn, dialog.PortsComboBox};
    std::vector<QWidget*> chain{dialog.OkBtn};
    for (QWidget* w = dialog.OkBtn->nextInFocusChain(); w != dialog.OkBtn;
         w = w->nextInFocusChain()) {
        if (std::find(tabOrder.begin(), tabOrder.end(), w) != tabOrder.end()) {
            chain.push_back(w);
        }
    }
    EXPECT_EQ(chain, tabOrder);

    ASSERT_EQ(dialog.PortsComboBox->count(), static_cast<int>(form.Entries().size()));
    EXPECT_EQ(dialog.PortsComboBox->currentIndex(), 0);
    const QString ours = QString("COM%1  %2").arg(kPortNumber).arg(device.Path().c_str());
    EXPECT_GE(dialog.PortsComboBox->findText(ours, Qt::MatchStartsWith), 0);
}

// A machine where the dialog's font falls back to the plain, wider DejaVu Sans (no condensed
// face installed).
class TWideFallbackFont {
public:
    TWideFallbackFont() : previous_(QFont::substitutes(kFamily)) {
        QFont::removeSubstitutions(kFamily);
        QFont::insertSubstitution(kFamily, "DejaVu Sans");
    }
    ~TWideFallbackFont() {
        QFont::removeSubstitutions(kFamily);
        QFont::insertSubstitutions(kFamily, previous_);
    }
    TWideFallbackFont(const TWideFallbackFont&) = delete;
    TWideFallbackFont& operator=(const TWideFallbackFont&) = delete;

private:
    static constexpr const char* kFamily = "MS Sans Serif";
    QStringList previous_;
};

TEST_F(ComSelectDialog, LabelsStayInsideTheirFrameWithAWiderFallbackFont) {
    const TWideFallbackFont wide;
    const kivo::TComSelectForm form;
    const TComSelectDialog dialog(form);
    const int inside = dialog.Bevel1->geometry().right() - dialog.Bevel1->frameWidth();
    for (const QLabel* label : {dialog.Label1, dialog.Label2}) {
        const int textRight =
            label->x() + label->fontMetrics().horizontalAdvance(label->text()) - 1;
        EXPECT_LE(textRight, inside) << label->text().toStdString();
        EXPECT_EQ(label->height(), 13);
        EXPECT_EQ(label->font().pixelSize(), 11);
    }
    EXPECT_EQ(dialog.Label1->pos(), QPoint(18, 14));
    EXPECT_EQ(dialog.Label2->pos(), QPoint(18, 30));
}

// A device path or a USB adapter's product name may hold any bytes; the list shows each port on
// one line of printable text.
TEST(ComSelectDialogText, PathAndDescriptionShowPrintableOnOneLine) {
    const kivo::TComSelectEntry entry{"COM4", 4, "/tmp/odd\n\x1b[2J\xff", "Adapter\r\x07"};
    EXPECT_EQ(TComSelectDialog::EntryText(entry).toStdString(),
              "COM4  /tmp/odd\\x0a\\x1b[2J\\xff  Adapter\\x0d\\x07");
}

TEST_F(ComSelectDialog, OkReportsTheChosenPortAndCancelDeclines) {
    TDevsim device({}, dir.File("devsim.err"));
    ConnectDevice(device);
    const std::shared_ptr<kivo::IComSelectPresenter> presenter = NewQtComSelectPresenter();

    kivo::TComSelectForm form;
    AnswerDialog([](TComSelectDialog& dialog) {
        const QString name = QString("COM%1 ").arg(kPortNumber);
        dialog.PortsComboBox->setCurrentIndex(
            dialog.PortsComboBox->findText(name, Qt::MatchStartsWith));
        dialog.OkBtn->click();
    });
    EXPECT_EQ(presenter->ShowModal(form), kivo::mrOk);
    EXPECT_EQ(form.SelectedComNum(), static_cast<int32_t>(kPortNumber));

    AnswerDialog([](TComSelectDialog& dialog) { dialog.AbortBtn->click(); });
    EXPECT_EQ(presenter->ShowModal(form), kivo::mrAbort);
    AnswerDialog([](TComSelectDialog& dialog) { dialog.close(); });
    EXPECT_EQ(presenter->ShowModal(form), kivo::mrAbort);
    AnswerDialog([](TComSelectDialog& dialog) { PressKey(*dialog.OkBtn, Qt::Key_Escape); });
    EXPECT_EQ(presenter->ShowModal(form), kivo::mrAbort);

    // By keyboard: from the list, the arrow keys go through the ports and Enter takes one.
    kivo::TComSelectForm fresh;
    AnswerDialog([](TComSelectDialog& dialog) {
        QComboBox& list = *dialog.PortsComboBox;
        list.setFocus();
        const QString ours = QString("COM%1 ").arg(kPortNumber);
        for (int i = 0; i < list.count() && !list.currentText().startsWith(ours); ++i) {
            PressKey(list, Qt::Key_Down);
        }
        PressKey(list, Qt::Key_Return, Qt::NoModifier, "\r");
    });
    EXPECT_EQ(presenter->ShowModal(fresh), kivo::mrOk);
    EXPECT_EQ(fresh.SelectedComNum(), static_cast<int32_t>(kPortNumber));
}

} // namespace
} // namespace brinomar::testing
