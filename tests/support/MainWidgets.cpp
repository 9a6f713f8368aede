// Test main for the windows: the application object with its outer exception
// handler, on the offscreen platform unless a display is asked for.
#include "app/Forms.h"
#include "platform/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    app::TApplicationObject application(argc, argv);
    Win::Application().Title = "Morvane 2.0";
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
