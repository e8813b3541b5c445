#include "HushnoteApp/ApplicationPaths.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

// Sets an environment variable for one scope and restores the previous value.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment()
    {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ApplicationPaths, AppSupportDirectoryPrefersTheOverrideThenXdgThenHome)
{
    ScopedEnvironment home("HOME", "/home/someone");
    {
        ScopedEnvironment support("HUSHNOTE_APP_SUPPORT_DIR", "/srv/hush");
        ScopedEnvironment xdg("XDG_DATA_HOME", "/data");
        EXPECT_EQ(ApplicationPaths::appSupportDirectory(), "/srv/hush");
    }
    {
        ScopedEnvironment support("HUSHNOTE_APP_SUPPORT_DIR", "");
        ScopedEnvironment xdg("XDG_DATA_HOME", "/data");
        EXPECT_EQ(ApplicationPaths::appSupportDirectory(), "/data/Hushnote");
    }
    {
        ScopedEnvironment support("HUSHNOTE_APP_SUPPORT_DIR", nullptr);
        ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(ApplicationPaths::appSupportDirectory(), "/home/someone/.local/share/Hushnote");
    }
}

TEST(ReadInfoDictionary, KeepsStringKeysAndToleratesBrokenFiles)
{
    testing::TemporaryDirectory dir;
    testing::writeFile(dir.path() / "Info.json",
        R"({"CFBundleShortVersionString":"1.2.0","CFBundleVersion":"17","Count":3})");
    const auto info = readInfoDictionary(dir.path() / "Info.json");
    EXPECT_EQ(info.at("CFBundleShortVersionString"), "1.2.0");
    EXPECT_EQ(info.at("CFBundleVersion"), "17");
    EXPECT_EQ(info.count("Count"), 0u);

    testing::writeFile(dir.path() / "broken.json", "{\"CFBundleVersion\": ");
    EXPECT_TRUE(readInfoDictionary(dir.path() / "broken.json").empty());
    EXPECT_TRUE(readInfoDictionary(dir.path() / "missing.json").empty());
}

} // namespace
} // namespace hushnote
