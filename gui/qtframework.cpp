#include "gui/qtframework.h"

#include "comm/platform/sync.h"
#include "comm/platform/terminal.h"
#include "gui/comselectdialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <cerrno>

namespace brinomar {

namespace {

const char* const kExceptionCaption = "brinomar Update";

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// Set by the handler, which may set a lock-free atomic as safely as a sig_atomic_t.
std::atomic<bool> gStopSignalCaught{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) {
    const int savedErrno = errno;
    gStopSignalCaught = true;
    kivo::SetApplicationTerminating(true);
    errno = savedErrno;
}

// Messages quote file names, which are text to show, never markup.
void ShowExceptionText(const QString& text) {
    QMessageBox box(QMessageBox::Critical, kExceptionCaption, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// Widgets live on the GUI thread only. Another thread (a dispatcher thread whose body failed)
// hands the text over and goes on: waiting for the box could hold it while the GUI thread
// waits for it to end.
void ShowExceptionBox(const std::exception& e) {
    const QString text = QString::fromUtf8(e.what());
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread()) {
        ShowExceptionText(text);
    } else {
        QMetaObject::invokeMethod(
            app, [text] { ShowExceptionText(text); }, Qt::QueuedConnection);
    }
}

void ShowPlainMessageBox(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void PumpWindowMessages() {
    kivo::TMsg msg;
    while (kivo::PeekMessage(msg, 0, 0, 0, kivo::PM_REMOVE)) {
        if (msg.message == kivo::WM_QUIT) {
            QCoreApplication::quit();
            return;
        }
        kivo::TranslateMessage(msg);
        kivo::DispatchMessage(msg);
    }
}

TQtHostLoop::TQtHostLoop() : passQueued_(std::make_shared<std::atomic<bool>>(false)) {}

void TQtHostLoop::Wake() {
    if (passQueued_->exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [queued = passQueued_] {
            queued->store(false);
            PumpWindowMessages();
        },
        Qt::QueuedConnection);
}

void TQtHostLoop::RunOnce() {
    QCoreApplication::processEvents();
}

// A timer bounds the wait: its event ends processEvents like any other.
void TQtHostLoop::WaitForEvents(uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        RunOnce();
        return;
    }
    QTimer deadline;
    if (timeoutMs != kivo::INFINITE) {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        deadline.start(static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX)));
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

TQtFramework::TQtFramework()
    : previousDisplay_(kivo::SetExceptionDisplay(ShowExceptionBox)),
      previousMessageBox_(kivo::SetMessageBoxHandler(ShowPlainMessageBox)),
      previousPresenter_(kivo::SetComSelectPresenter(NewQtComSelectPresenter())) {
    kivo::SetHostLoop(std::make_shared<TQtHostLoop>());
}

TQtFramework::~TQtFramework() {
    kivo::SetHostLoop(nullptr);
    kivo::SetComSelectPresenter(previousPresenter_);
    kivo::SetMessageBoxHandler(previousMessageBox_);
    kivo::SetExceptionDisplay(previousDisplay_);
}

// The application's terminating descriptor stays readable while the application is
// terminating, which a closed window makes it too: the notifier acts on its first wake only, and
// closes the windows only after a stop signal.
TStopSignals::TStopSignals() : notifier_(kivo::ApplicationTerminatingFd(), QSocketNotifier::Read) {
    gStopSignalCaught = false;
    for (size_t i = 0; i < kStopSignals.size(); ++i) {
        sigaction(kStopSignals[i], nullptr, &previous_[i]);
    }
    QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] {
        notifier_.setEnabled(false);
        if (Caught()) {
            QApplication::closeAllWindows();
        }
    });
    kivo::CatchStopSignals(OnStopSignal);
}

TStopSignals::~TStopSignals() {
    for (size_t i = 0; i < kStopSignals.size(); ++i) {
        sigaction(kStopSignals[i], &previous_[i], nullptr);
    }
}

bool TStopSignals::Caught() const {
    return gStopSignalCaught;
}

} // namespace brinomar
