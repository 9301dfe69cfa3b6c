// The window tests run inside one QApplication, with the library's framework hooked onto Qt as
// the program does it.
#include "gui/qtframework.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Listing the tests happens without the harness's environment, and needs no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    // Tests close windows; the application itself goes on.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    brinomar::TQtFramework framework;
    return RUN_ALL_TESTS();
}
