// GoogleTest entry for the desktop tests: one QApplication, offscreen, with the
// studio's theme, and per-user files (preferences, token) in a throw-away folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>

#include "app_shell.hpp"

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("XDG_CONFIG_HOME", qPrintable(home.filePath("config")), 1);
    setenv("XDG_DATA_HOME", qPrintable(home.filePath("data")), 1);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("config"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("config"));

    QApplication app(argc, argv);
    varek::applyStudioTheme(app);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
