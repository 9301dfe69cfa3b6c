#include "gui/qtframework.h"

#include "comm/platform/sync.h"
#include "gui/comselectdialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace brinomar {

namespace {

const char* const kExceptionCaption = "brinomar Update";

void ShowExceptionBox(const std::exception& e) {
    QMessageBox box(QMessageBox::Critical, kExceptionCaption, QString::fromUtf8(e.what()),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

void ShowPlainMessageBox(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
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

} // namespace brinomar
