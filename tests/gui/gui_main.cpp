// The GUI tests' entry: one QApplication on the offscreen platform with the
// windowing layer installed, then the test cases on this, the GUI, thread.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "test_support.h"
#include "ui_internal.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Windows never start a host of their own here: a test that wants one
    // starts it in its root. Until then the process has a private root.
    setenv("CE_HOST_AUTOSTART", "0", 1);
    cetest::TempRoot root;
    int qt_argc = 1;
    QApplication app(qt_argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ceui::install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
