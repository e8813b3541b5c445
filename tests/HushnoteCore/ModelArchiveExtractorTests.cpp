#include "HushnoteCore/ModelArchiveExtractor.h"
#include "HushnoteCore/ModelInstallError.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/ZipFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using testing::ZipEntry;

mode_t modeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class ModelArchiveExtractorTest : public ::testing::Test {
protected:
    void extract(const std::vector<ZipEntry>& entries, const ArchiveExtractionLimits& limits = {})
    {
        testing::writeFile(archive, testing::buildZip(entries));
        fs::create_directories(destination);
        ModelArchiveExtractor::extract(archive, destination, limits);
    }

    testing::TemporaryDirectory directory;
    fs::path archive = directory.path() / "archive.zip";
    fs::path destination = directory.path() / "out";
};

TEST_F(ModelArchiveExtractorTest, KeepsPermissionBitsWithoutSetIDStickyOrForeignWrites)
{
    extract({
        {"plain.bin", "a", ZipEntry::Type::file, 0644},
        {"tool", "b", ZipEntry::Type::file, 04755},
        {"group-writable.bin", "c", ZipEntry::Type::file, 02666},
        {"read-only.bin", "d", ZipEntry::Type::file, 0400},
        {"shared/", "", ZipEntry::Type::directory, 01777},
        {"locked/", "", ZipEntry::Type::directory, 0500},
        {"locked/inside.bin", "e", ZipEntry::Type::file, 0644},
        {"implied/deeper/file.bin", "f", ZipEntry::Type::file, 0644},
    });
    EXPECT_EQ(modeOf(destination / "plain.bin"), 0644u);
    EXPECT_EQ(modeOf(destination / "tool"), 0755u) << "execute bits stay for the scan, set-uid goes";
    EXPECT_EQ(modeOf(destination / "group-writable.bin"), 0644u);
    EXPECT_EQ(modeOf(destination / "read-only.bin"), 0600u) << "the owner can always read and replace";
    EXPECT_EQ(modeOf(destination / "shared"), 0755u);
    EXPECT_EQ(modeOf(destination / "locked"), 0700u);
    EXPECT_EQ(modeOf(destination / "implied"), 0755u);
    EXPECT_EQ(modeOf(destination / "implied" / "deeper"), 0755u);
    EXPECT_EQ(testing::readFile(destination / "locked" / "inside.bin"), "e");
    EXPECT_EQ(testing::readFile(destination / "implied" / "deeper" / "file.bin"), "f");
}

TEST_F(ModelArchiveExtractorTest, DirectoriesBeforeOrAfterTheirFilesAndDotComponentsAreFine)
{
    extract({
        {"a/b.txt", "1"},
        {"a/", "", ZipEntry::Type::directory, 0755},
        {"./c//d.txt", "2"},
        {"./", "", ZipEntry::Type::directory, 0755},
    });
    EXPECT_EQ(testing::readFile(destination / "a" / "b.txt"), "1");
    EXPECT_EQ(testing::readFile(destination / "c" / "d.txt"), "2");
}

TEST_F(ModelArchiveExtractorTest, StopsAtTheEntryAndByteLimitsAndEmptiesTheDestination)
{
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 10; ++i) {
        entries.push_back({"file" + std::to_string(i), std::string(1000, 'x')});
    }
    ArchiveExtractionLimits limits;
    limits.maxEntries = 10;
    EXPECT_NO_THROW(extract(entries, limits));
    fs::remove_all(destination);

    limits.maxEntries = 9;
    try {
        extract(entries, limits);
        FAIL() << "ten entries passed a limit of nine";
    } catch (const ModelInstallError& error) {
        EXPECT_EQ(error.kind(), ModelInstallError::Kind::invalidArchive);
        EXPECT_NE(error.reason().find("more than 9 entries"), std::string::npos) << error.reason();
    }
    EXPECT_TRUE(fs::is_empty(destination));
    fs::remove_all(destination);

    // 10,000 bytes against a limit of ratio x archive size + allowance, just below it.
    limits = {};
    limits.sizeRatio = 0;
    limits.byteAllowance = 9999;
    try {
        extract(entries, limits);
        FAIL() << "10000 bytes passed a limit of 9999";
    } catch (const ModelInstallError& error) {
        EXPECT_NE(error.reason().find("limit"), std::string::npos) << error.reason();
    }
    EXPECT_TRUE(fs::is_empty(destination));
    fs::remove_all(destination);
    limits.byteAllowance = 10000;
    EXPECT_NO_THROW(extract(entries, limits));
}

TEST_F(ModelArchiveExtractorTest, ReadsZip64ArchivesAndStillSeesTheirSpecialFiles)
{
    auto entries = testing::modelEntries();
    testing::writeFile(archive, testing::buildZip(entries, /*zip64=*/true));
    fs::create_directories(destination);
    ModelArchiveExtractor::extract(archive, destination, {});
    EXPECT_EQ(testing::readFile(destination / "tokenizer.json"), "{\"tokens\":[]}");
    fs::remove_all(destination);

    entries.push_back({"pipe", "", ZipEntry::Type::fifo});
    testing::writeFile(archive, testing::buildZip(entries, /*zip64=*/true));
    fs::create_directories(destination);
    try {
        ModelArchiveExtractor::extract(archive, destination, {});
        FAIL() << "a FIFO entry was accepted";
    } catch (const ModelInstallError& error) {
        EXPECT_NE(error.reason().find("special file"), std::string::npos) << error.reason();
    }
    EXPECT_TRUE(fs::is_empty(destination));
}

TEST(ModelArchiveExtractorLimit, IsFourTimesTheArchivePlusOneGibibyteAndSaturates)
{
    const ArchiveExtractionLimits defaults;
    EXPECT_EQ(defaults.maxEntries, 100'000u);
    EXPECT_EQ(ModelArchiveExtractor::byteLimit(0, defaults), 1ull << 30);
    EXPECT_EQ(ModelArchiveExtractor::byteLimit(500'000'000, defaults), 2'000'000'000ull + (1ull << 30));
    EXPECT_EQ(ModelArchiveExtractor::byteLimit(std::numeric_limits<std::uint64_t>::max() / 2, defaults),
        std::numeric_limits<std::uint64_t>::max());
}

} // namespace
} // namespace hushnote
