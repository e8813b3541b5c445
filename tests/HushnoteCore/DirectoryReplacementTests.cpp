#include "HushnoteCore/DirectoryReplacement.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TreeListing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DirectoryReplacement, ReplacesWholeThroughAStagedCopyAndLeavesNoSibling)
{
    testing::TemporaryDirectory directory;
    const auto destination = directory.path() / "models" / "model";
    testing::writeFile(destination / "old-only.txt", "old");
    testing::writeFile(directory.path() / "source" / "nested" / "new.txt", "new");
    fs::create_symlink("nested/new.txt", directory.path() / "source" / "link");

    DirectoryReplacement::replace(destination, directory.path() / "source");

    EXPECT_EQ(testing::treeListing(destination), testing::treeListing(directory.path() / "source"));
    EXPECT_EQ(fs::read_symlink(destination / "link"), "nested/new.txt") << "links inside stay links";
    EXPECT_EQ(namesIn(directory.path() / "models"), std::vector<std::string>{"model"});

    // Into a parent that does not exist yet, through a link to the source.
    fs::create_directory_symlink(directory.path() / "source", directory.path() / "source-link");
    DirectoryReplacement::replace(directory.path() / "fresh" / "model", directory.path() / "source-link");
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(directory.path() / "fresh" / "model")));
    EXPECT_EQ(testing::readFile(directory.path() / "fresh" / "model" / "nested" / "new.txt"), "new");
}

TEST(DirectoryReplacement, AFailedCopyRemovesTheStagingCopyAndKeepsTheDestination)
{
    testing::TemporaryDirectory directory;
    const auto destination = directory.path() / "models" / "model";
    testing::writeFile(destination / "old.txt", "old");
    testing::writeFile(directory.path() / "source" / "a.txt", "a");
    // A FIFO cannot be copied, so the copy fails part-way.
    ASSERT_EQ(::mkfifo((directory.path() / "source" / "pipe").c_str(), 0600), 0);
    const auto before = testing::treeListing(directory.path() / "models");

    EXPECT_THROW(DirectoryReplacement::replace(destination, directory.path() / "source"), fs::filesystem_error);

    EXPECT_EQ(testing::treeListing(directory.path() / "models"), before);
}

} // namespace
} // namespace hushnote
