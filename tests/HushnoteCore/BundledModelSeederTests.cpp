#include "HushnoteCore/BundledModelSeeder.h"
#include "HushnoteCore/BundledModelSeederError.h"
#include "tests/Support/RunAwaitable.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TreeListing.h"
#include "tests/Support/ZipFixture.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using Kind = BundledModelSeederError::Kind;

constexpr const char* kModelID = "openai_whisper-small";
constexpr const char* kSeed = "ollama-gemma4-e2b-v1";

template <typename F>
void expectSeederError(F&& operation, Kind kind, const std::string& description)
{
    try {
        operation();
        ADD_FAILURE() << "expected " << description;
    } catch (const BundledModelSeederError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.description(), description);
    }
}

class BundledModelSeederTest : public ::testing::Test {
protected:
    testing::TemporaryDirectory directory;
    fs::path source = directory.path() / "resources" / "openai_whisper-small";
    fs::path destination = directory.path() / "support" / "models" / "whisper" / "openai_whisper-small";
    fs::path storeSource = directory.path() / "resources" / "ollama";
    fs::path store = directory.path() / "support" / "models" / "ollama";
};

TEST_F(BundledModelSeederTest, AValidManagedModelIsKeptWhateverTheCopyHolds)
{
    testing::writeModelFolder(destination, "managed");
    fs::create_directories(source);
    EXPECT_FALSE(BundledModelSeeder::installWhisperIfNeeded(source, destination, kModelID));
    EXPECT_EQ(testing::readFile(destination / "tag.txt"), "managed");
}

TEST_F(BundledModelSeederTest, AnIncompleteManagedModelIsReplacedWholeWithNoStagingLeft)
{
    testing::writeModelFolder(destination, "managed");
    fs::remove_all(destination / "TextDecoder.mlmodelc");
    testing::writeFile(destination / "stale.txt", "stale");
    testing::writeModelFolder(source, "bundled");

    EXPECT_TRUE(testing::runAwaitable(BundledModelSeeder::installWhisperIfNeededAsync(source, destination, kModelID)));

    EXPECT_EQ(testing::readFile(destination / "tag.txt"), "bundled");
    EXPECT_FALSE(fs::exists(destination / "stale.txt"));
    std::vector<std::string> siblings;
    for (const auto& entry : fs::directory_iterator(destination.parent_path())) {
        siblings.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(siblings, std::vector<std::string>{"openai_whisper-small"});
}

TEST_F(BundledModelSeederTest, AnInvalidCopyFailsOnlyWithoutAValidManagedModel)
{
    testing::writeModelFolder(source);
    fs::remove_all(source / "MelSpectrogram.mlmodelc");
    expectSeederError([&] { BundledModelSeeder::installWhisperIfNeeded(source, destination, kModelID); },
        Kind::invalidBundledWhisperModel, "Bundled Whisper model is missing required Core ML files");
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(BundledModelSeederTest, AbsentMissingOrFileSourcesInstallNothing)
{
    testing::writeFile(directory.path() / "a-file", "x");
    for (const std::optional<fs::path>& candidate :
        {std::optional<fs::path>{}, std::optional<fs::path>{directory.path() / "missing"},
            std::optional<fs::path>{directory.path() / "a-file"}}) {
        EXPECT_FALSE(BundledModelSeeder::installWhisperIfNeeded(candidate, destination, kModelID));
        EXPECT_FALSE(BundledModelSeeder::mergeOllamaStoreIfNeeded(candidate, store, kSeed));
    }
    EXPECT_FALSE(fs::exists(directory.path() / "support"));
}

TEST_F(BundledModelSeederTest, EmptyStoresAndEmptySeedIdentifiersAreInvalid)
{
    testing::writeFile(storeSource / ".DS_Store", "hidden");
    expectSeederError([&] { BundledModelSeeder::mergeOllamaStoreIfNeeded(storeSource, store, kSeed); },
        Kind::invalidBundledOllamaStore, "Bundled Ollama model store is empty or invalid");
    testing::writeFile(storeSource / "blobs" / "sha256-1", "blob");
    expectSeederError([&] { BundledModelSeeder::mergeOllamaStoreIfNeeded(storeSource, store, ""); },
        Kind::invalidBundledOllamaStore, "Bundled Ollama model store is empty or invalid");
    EXPECT_FALSE(fs::exists(store));
}

TEST_F(BundledModelSeederTest, MergesOnlyMissingFilesOncePerSeed)
{
    testing::writeFile(storeSource / "blobs" / "sha256-1", "bundled one");
    testing::writeFile(storeSource / "blobs" / "sha256-2", "bundled two");
    testing::writeFile(storeSource / "manifests" / "registry.ollama.ai" / "library" / "gemma4" / "e2b", "manifest");
    testing::writeFile(storeSource / ".hidden" / "secret", "hidden");
    testing::writeFile(store / "blobs" / "sha256-1", "already here");

    EXPECT_TRUE(BundledModelSeeder::mergeOllamaStoreIfNeeded(storeSource, store, kSeed));
    EXPECT_EQ(testing::readFile(store / "blobs" / "sha256-1"), "already here");
    EXPECT_EQ(testing::readFile(store / "blobs" / "sha256-2"), "bundled two");
    EXPECT_EQ(testing::readFile(store / "manifests" / "registry.ollama.ai" / "library" / "gemma4" / "e2b"), "manifest");
    EXPECT_FALSE(fs::exists(store / ".hidden"));
    const auto marker = store / ".hushnote-ollama-gemma4-e2b-v1.seeded";
    EXPECT_EQ(testing::readFile(marker), "");

    // Same seed: returns at once, even with a new file in the copy.
    testing::writeFile(storeSource / "blobs" / "sha256-3", "new");
    EXPECT_FALSE(BundledModelSeeder::mergeOllamaStoreIfNeeded(storeSource, store, kSeed));
    EXPECT_FALSE(fs::exists(store / "blobs" / "sha256-3"));

    // Marker deleted: merges again, copying only what is missing, and writes the marker.
    fs::remove(storeSource / "blobs" / "sha256-3");
    fs::remove(marker);
    const auto before = testing::treeListing(store);
    EXPECT_FALSE(BundledModelSeeder::mergeOllamaStoreIfNeeded(storeSource, store, kSeed));
    EXPECT_TRUE(fs::exists(marker));
    auto after = testing::treeListing(store);
    after.erase(marker.filename().string());
    EXPECT_EQ(after, before);
}

TEST_F(BundledModelSeederTest, LinksCountByWhatTheyPointAtAndNeverReachOutside)
{
    testing::writeFile(directory.path() / "private" / "id_rsa", "secret");
    testing::writeFile(storeSource / "blobs" / "sha256-1", "blob");
    fs::create_symlink(directory.path() / "private" / "id_rsa", storeSource / "blobs" / "stolen");
    fs::create_directory_symlink(directory.path() / "private", storeSource / "outside-dir");
    fs::create_symlink("../blobs/sha256-1", storeSource / "alias");

    EXPECT_TRUE(testing::runAwaitable(BundledModelSeeder::mergeOllamaStoreIfNeededAsync(storeSource, store, kSeed)));

    EXPECT_FALSE(fs::exists(fs::symlink_status(store / "blobs" / "stolen")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store / "outside-dir")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store / "id_rsa")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store / "alias")));
    EXPECT_EQ(testing::readFile(store / "blobs" / "sha256-1"), "blob");
}

} // namespace
} // namespace hushnote
