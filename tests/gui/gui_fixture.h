// What the window tests share: a window whose file dialog and port selection are scripted,
// and displays that record instead of showing message boxes.
#pragma once

#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"
#include "comm/port/kvselcom.h"
#include "gui/mainfrm.h"
#include "tests/cli/update_harness.h"
#include "tests/fakes/no_machine_ports.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QStringList>

#include <memory>

namespace brinomar::testing {

// A key pressed and released, delivered to `widget` as to the one that has the focus.
inline void PressKey(QWidget& widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                     const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(&widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(&widget, &release);
}

// Selects the listed port with the given number and answers OK, or declines.
inline kivo::TModalResult ChoosePort(kivo::TComSelectForm& form, uint32_t number) {
    for (size_t i = 0; i < form.Entries().size(); ++i) {
        if (form.Entries()[i].Number == number) {
            form.SetItemIndex(static_cast<int>(i));
            return kivo::mrOk;
        }
    }
    return kivo::mrAbort;
}

// Chooses the listed port with the given number, or declines; counts how often it was asked.
class TScriptedPortChoice : public kivo::IComSelectPresenter {
public:
    explicit TScriptedPortChoice(uint32_t number) : number_(number) {}
    kivo::TModalResult ShowModal(kivo::TComSelectForm& form) override {
        ++asked;
        return ChoosePort(form, number_);
    }
    int asked = 0;

private:
    uint32_t number_;
};

class TWindowTest : public ::testing::Test {
protected:
    static constexpr uint32_t kPortNumber = 41;

    TWindowTest()
        : choice_(std::make_shared<TScriptedPortChoice>(kPortNumber)),
          previousPresenter_(kivo::SetComSelectPresenter(choice_)),
          previousDisplay_(kivo::SetExceptionDisplay(
              [this](const std::exception& e) { shown.push_back(e.what()); })) {}

    ~TWindowTest() override {
        kivo::UnregisterComPort(kPortNumber);
        kivo::SetExceptionDisplay(previousDisplay_);
        kivo::SetComSelectPresenter(previousPresenter_);
        kivo::SetApplicationTerminating(false);
    }

    // The file dialog answers with `file`, or is cancelled when it is empty.
    void ChooseFile(const QString& file) {
        form.OpenDialog1.SetChooser([file](QWidget*) -> std::optional<QString> {
            return file.isEmpty() ? std::nullopt : std::optional<QString>(file);
        });
    }

    // Puts the simulated device at the port number the scripted choice takes.
    void ConnectDevice(const TDevsim& device) {
        ASSERT_FALSE(device.Path().empty());
        ASSERT_EQ(kivo::RegisterComPort(kPortNumber, device.Path()), 0);
    }

    static std::vector<std::string> Lines(const QPlainTextEdit& memo) {
        std::vector<std::string> lines;
        for (const QString& line : memo.toPlainText().split('\n')) {
            lines.push_back(line.toStdString());
        }
        return lines;
    }

    int PortChoicesAsked() const { return choice_->asked; }

    kivo::testing::TNoMachinePorts noMachinePorts;
    kivo::testing::TScratchDir dir;
    std::vector<std::string> shown; // messages of the exception display

private:
    std::shared_ptr<TScriptedPortChoice> choice_;
    std::shared_ptr<kivo::IComSelectPresenter> previousPresenter_;
    kivo::ExceptionDisplay previousDisplay_;

protected:
    TForm1 form; // destroyed first: it closes the port
};

} // namespace brinomar::testing
