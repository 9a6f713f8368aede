// Test main for the windows: the application object with its outer exception
// handler, on the offscreen platform unless a display is asked for, with the
// settings in a temporary folder.
#include "gui/Forms.h"
#include "platform/Application.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    app::TApplicationObject application(argc, argv);
    Win::Application().Title = "Morvane 2.0";
    // The windows remember their settings: never in the user's own folder.
    const QTemporaryDir settingsFolder;
    if (!settingsFolder.isValid()) return 1;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
    // The send history likewise (the data location follows XDG_DATA_HOME).
    ::setenv("XDG_DATA_HOME", settingsFolder.filePath("data").toLocal8Bit().constData(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
