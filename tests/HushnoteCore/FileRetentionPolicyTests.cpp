#include "HushnoteCore/FileRetentionPolicy.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(FileRetentionPolicy, DeletesOnlyOldRegularFilesWithAMatchingPrefix)
{
    testing::TemporaryDirectory dir;
    const auto now = std::chrono::system_clock::now();
    struct Entry {
        const char* name;
        std::chrono::hours age;
        bool expectDeleted;
    };
    const std::vector<Entry> entries{
        {"Hushnote-support-old.zip", 200h, true},
        {"Hushnote-support-new.zip", 100h, false},
        {"Other-old.zip", 200h, false},
        {".Hushnote-support-hidden.zip", 200h, false},
    };
    for (const auto& e : entries) {
        testing::writeFile(dir.path() / e.name, "x");
        fs::last_write_time(dir.path() / e.name, std::chrono::file_clock::from_sys(now - e.age));
    }
    fs::create_directory(dir.path() / "Hushnote-support-folder");
    fs::last_write_time(dir.path() / "Hushnote-support-folder", std::chrono::file_clock::from_sys(now - 300h));

    const auto removed = FileRetentionPolicy::removeExpiredFiles(dir.path(), 604'800, now, {"Hushnote-support-"});
    for (const auto& e : entries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(fs::exists(dir.path() / e.name), !e.expectDeleted);
        EXPECT_EQ(std::count(removed.begin(), removed.end(), dir.path() / e.name), e.expectDeleted ? 1 : 0);
    }
    EXPECT_EQ(removed.size(), 1u);
    EXPECT_TRUE(fs::is_directory(dir.path() / "Hushnote-support-folder"));
}

TEST(FileRetentionPolicy, NegativeAgeOrMissingDirectoryDeletesNothing)
{
    testing::TemporaryDirectory dir;
    testing::writeFile(dir.path() / "Hushnote-support-a.zip", "x");
    const auto later = std::chrono::system_clock::now() + 1000h;
    EXPECT_TRUE(FileRetentionPolicy::removeExpiredFiles(dir.path(), -1, later, {"Hushnote-"}).empty());
    EXPECT_TRUE(fs::exists(dir.path() / "Hushnote-support-a.zip"));
    EXPECT_TRUE(FileRetentionPolicy::removeExpiredFiles(dir.path() / "missing", 1, later, {"Hushnote-"}).empty());
}

} // namespace
} // namespace hushnote
