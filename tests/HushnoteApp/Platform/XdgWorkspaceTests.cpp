#include "HushnoteApp/Platform/XdgWorkspace.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

struct ScopedPath {
    explicit ScopedPath(const std::string& path) : previous_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        ::setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", previous_.c_str(), 1); }
    std::string previous_;
};

TEST(XdgWorkspace, HandsTheAddressToXdgOpenWithoutWaitingForIt)
{
    testing::TemporaryDirectory bin;
    const auto log = bin.path() / "opened";
    testing::writeFile(bin.path() / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + log.string() + ".part'\nmv '"
            + log.string() + ".part' '" + log.string() + "'\n");
    fs::permissions(bin.path() / "xdg-open", fs::perms::owner_all);
    // Ours first, so the desktop's own xdg-open is never run.
    ScopedPath path(bin.path().string() + ":/usr/bin:/bin");
    XdgWorkspace workspace;
    const std::string url = "file:///usr/share/hushnote/help/microphone.html";
    ASSERT_TRUE(workspace.open(url));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(log) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(testing::readFile(log), url);
}

TEST(XdgWorkspace, WithoutXdgOpenNothingOpens)
{
    testing::TemporaryDirectory empty;
    ScopedPath path(empty.path().string());
    EXPECT_FALSE(XdgWorkspace().open("https://example.org"));
}

} // namespace
} // namespace hushnote
