// Starts a private Xvfb with openbox and the QApplication before the tests run, since Qt
// allows one application object per process and the tests need a focusing window manager.

#include "tests/HushnoteApp/UI/QtTestSupport.h"
#include "tests/Support/TemporaryDirectory.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace hushnote::testing {

namespace {
std::unique_ptr<XvfbServer> display;
} // namespace

XvfbServer& testDisplay()
{
    return *display;
}

} // namespace hushnote::testing

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    // A private runtime directory, as a desktop session has, for Qt here and in the children.
    hushnote::testing::TemporaryDirectory runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    hushnote::testing::display = std::make_unique<hushnote::testing::XvfbServer>(true);
    ::setenv("DISPLAY", hushnote::testing::display->displayName().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // The desktop application must not find the developer's own session.
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("XDG_SESSION_TYPE", "x11", 1);
    int result = 0;
    {
        QApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    hushnote::testing::display.reset();
    return result;
}
