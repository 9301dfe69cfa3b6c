// The port selection as a dialog: the available ports in a drop-down list, each shown with its
// path and description, and the choice to decline.
#pragma once

#include "comm/port/kvselcom.h"

#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <memory>

namespace brinomar {

class TComSelectDialog : public QDialog {
public:
    // Lists the form's entries and selects the form's selected one.
    explicit TComSelectDialog(const kivo::TComSelectForm& form, QWidget* parent = nullptr);

    QFrame* Bevel1;
    QLabel* Label1;
    QLabel* Label2;
    QComboBox* PortsComboBox;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;

    // "COM3  /dev/ttyUSB0  FT232R USB UART"
    static QString EntryText(const kivo::TComSelectEntry& entry);
};

// The presenter that shows TComSelectDialog modally.
std::shared_ptr<kivo::IComSelectPresenter> NewQtComSelectPresenter();

} // namespace brinomar
