// Unit Mainfrm, the window: TForm1, the updater's only window. "Select File" picks a HEX file,
// loads it into the image and runs the update (app/mainfrm.h); the hidden "LoadHexFile" button
// and "Visible" check box load a file without sending it and list the image.
#pragma once

#include "app/mainfrm.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <optional>

namespace brinomar {

// OpenDialog1: picks the firmware file. Tests put their own choice in place of the dialog.
class TOpenDialog {
public:
    static constexpr const char* Title = "Open HexFile";
    static constexpr const char* Filter = "Hex files (*.hex)";
    static constexpr const char* DefaultExt = "hex";

    // Returns the chosen file, or nothing when the user cancels.
    using TChooser = std::function<std::optional<QString>(QWidget* parent)>;

    // True when a file was chosen; FileName then names it.
    bool Execute(QWidget* parent);
    void SetChooser(TChooser chooser) { chooser_ = std::move(chooser); }

    QString FileName;

private:
    TChooser chooser_; // empty: the file dialog
};

class TForm1 : public QWidget {
public:
    static constexpr const char* Caption = "brinomar Update V0.2 english";

    explicit TForm1(QWidget* parent = nullptr); // FormCreate
    ~TForm1() override;                         // FormDestroy: the port is closed

    // "Select File": choose and load a file, then run the update.
    void btnUpdateClick();
    // "LoadHexFile": load (and list) only.
    void btnLoadHexFileClick();
    // Loads the dialog's file and, with cbLoadVisible checked, lists the image.
    void LoadAndListFile();

    // Shows the diagnostic controls that the window keeps hidden.
    void ShowDiagnosticControls();

    TUpdater& Updater() { return updater_; }

    QPushButton* btnUpdate;
    QLabel* lblFileName;
    QPlainTextEdit* memLog;
    QLabel* Image1;
    QPushButton* btnLoadHexFile;
    QProgressBar* ProgressBar1;
    QCheckBox* cbLoadVisible;
    QPlainTextEdit* memRomDisplay;
    TOpenDialog OpenDialog1;

protected:
    // Closing the window ends the application: a run in progress stops at its next wait.
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void ListImage();
    void RunUpdate();

    TUpdater updater_;
};

} // namespace brinomar
