#include "HushnoteApp/LaunchAtLoginController.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

struct ConfigHome {
    ConfigHome()
    {
        if (const char* previous = std::getenv("XDG_CONFIG_HOME")) {
            previous_ = previous;
        }
        ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
    }
    ~ConfigHome()
    {
        if (previous_) {
            ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }
    fs::path entry() const { return directory.path() / "autostart" / "hushnote.desktop"; }

    testing::TemporaryDirectory directory;
    std::optional<std::string> previous_;
};

TEST(LaunchAtLoginController, EnablingWritesAnAutostartEntryForThisExecutable)
{
    ConfigHome home;
    auto controller = LaunchAtLoginController::forCurrentUser();
    EXPECT_EQ(controller.entryFile(), home.entry());
    EXPECT_EQ(controller.executable(), fs::read_symlink("/proc/self/exe"));
    EXPECT_EQ(controller.status(), LoginItemStatus::notRegistered);

    controller.ensureEnabled();
    EXPECT_EQ(controller.status(), LoginItemStatus::enabled);
    const auto text = testing::readFile(home.entry());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"" + controller.executable().string() + "\"\n"), std::string::npos);

    controller.setEnabled(false);
    EXPECT_FALSE(fs::exists(home.entry()));
    EXPECT_EQ(controller.status(), LoginItemStatus::notRegistered);
    controller.setEnabled(true);
    EXPECT_EQ(controller.status(), LoginItemStatus::enabled);
}

TEST(LaunchAtLoginController, AnEntryForAnotherExecutableIsNotOursAndGetsReplaced)
{
    testing::TemporaryDirectory dir;
    LaunchAtLoginController controller(dir.path(), "/opt/hushnote/bin/hushnote");
    testing::writeFile(controller.entryFile(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/hushnote\n");
    EXPECT_EQ(controller.status(), LoginItemStatus::notRegistered);
    controller.ensureEnabled();
    EXPECT_EQ(controller.status(), LoginItemStatus::enabled);
}

TEST(LaunchAtLoginController, AnEntryTheUserSwitchedOffIsLeftToTheUser)
{
    for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        SCOPED_TRACE(off);
        testing::TemporaryDirectory dir;
        LaunchAtLoginController controller(dir.path(), "/usr/bin/hushnote");
        const auto switchedOff = std::string("[Desktop Entry]\nType=Application\nExec=/usr/bin/hushnote\n") + off + "\n";
        testing::writeFile(controller.entryFile(), switchedOff);
        EXPECT_EQ(controller.status(), LoginItemStatus::requiresApproval);
        controller.ensureEnabled();
        EXPECT_EQ(testing::readFile(controller.entryFile()), switchedOff);
        // Asking in Hushnote's own window is the user's approval.
        controller.setEnabled(true);
        EXPECT_EQ(controller.status(), LoginItemStatus::enabled);
    }
}

TEST(LaunchAtLoginController, ExecQuotingSurvivesAwkwardPaths)
{
    const char* paths[] = {
        "/usr/bin/hushnote",
        "/home/ann/My Apps/hushnote",
        "/tmp/100% \"real\" $HOME `x` back\\slash/hushnote",
    };
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        testing::TemporaryDirectory dir;
        LaunchAtLoginController controller(dir.path(), path);
        controller.ensureEnabled();
        EXPECT_EQ(controller.status(), LoginItemStatus::enabled);
    }
    EXPECT_EQ(LaunchAtLoginController::execProgram("/usr/bin/hushnote --flag"), "/usr/bin/hushnote");
    EXPECT_EQ(LaunchAtLoginController::execProgram("\"/a b/c\" %U"), "/a b/c");
    EXPECT_EQ(LaunchAtLoginController::execProgram("\"unterminated"), "");
}

TEST(LaunchAtLoginController, AnUnwritableAutostartFolderIsReported)
{
    testing::TemporaryDirectory dir;
    testing::writeFile(dir.path() / "autostart", "a file where the folder belongs");
    LaunchAtLoginController controller(dir.path() / "autostart", "/usr/bin/hushnote");
    EXPECT_THROW(controller.ensureEnabled(), fs::filesystem_error);
    EXPECT_EQ(controller.status(), LoginItemStatus::notRegistered);
}

} // namespace
} // namespace hushnote
