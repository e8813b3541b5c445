#include "HushnoteCore/ModelArchivePacker.h"
#include "HushnoteCore/ModelArchiveExtractor.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/ModelInstallManager.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TreeListing.h"
#include "tests/Support/ZipFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

TEST(ModelArchivePacker, PacksWhatTheExtractorRestoresAndDescribesIt)
{
    testing::TemporaryDirectory directory;
    const auto source = directory.path() / "model";
    testing::writeModelFolder(source, "packed");
    testing::writeFile(source / ".hidden" / "notes.txt", "kept");
    testing::writeFile(source / ".hushnote-ollama-gemma4-e2b-v1.seeded", "");
    fs::permissions(source / "tag.txt", fs::perms::owner_read);
    const auto archive = directory.path() / "model.zip";

    const auto packed = ModelArchivePacker::pack(source, archive);

    EXPECT_EQ(packed.sizeBytes, static_cast<std::int64_t>(fs::file_size(archive)));
    EXPECT_EQ(packed.sha256, ModelInstallManager::sha256(testing::readFile(archive)));
    const auto out = directory.path() / "out";
    fs::create_directories(out);
    ModelArchiveExtractor::extract(archive, out, {});
    auto expected = testing::treeListing(source);
    expected.erase(".hushnote-ollama-gemma4-e2b-v1.seeded");
    // Owner read and write are always given on extraction.
    expected["tag.txt"] = "file 384 packed";
    EXPECT_EQ(testing::treeListing(out), expected);

    // Packing again gives the same bytes, so a republished archive keeps its digest.
    EXPECT_EQ(ModelArchivePacker::pack(source, directory.path() / "again.zip").sha256, packed.sha256);

    EXPECT_EQ(ModelArchivePacker::manifestEntry("whisper-coreml", "openai_whisper-small", "3",
                  "whisper/openai_whisper-small", "files/model.zip", packed),
        nlohmann::json({{"id", "openai_whisper-small"}, {"kind", "whisper-coreml"}, {"version", "3"},
            {"relativeInstallPath", "whisper/openai_whisper-small"}, {"downloadPath", "files/model.zip"},
            {"compressedSizeBytes", packed.sizeBytes}, {"sha256", packed.sha256}, {"published", true}}));
}

TEST(ModelArchivePacker, RefusesWhatTheInstallerWouldRefuse)
{
    testing::TemporaryDirectory directory;
    const auto source = directory.path() / "model";
    testing::writeModelFolder(source);
    fs::create_symlink("tokenizer.json", source / "link.json");
    EXPECT_THROW(ModelArchivePacker::pack(source, directory.path() / "a.zip"), std::invalid_argument);
    fs::remove(source / "link.json");

    testing::writeFile(source / "convert.py", "#!/usr/bin/env python3\n");
    try {
        ModelArchivePacker::pack(source, directory.path() / "b.zip");
        FAIL() << "a script was packed";
    } catch (const ModelInstallError& error) {
        EXPECT_EQ(error.kind(), ModelInstallError::Kind::executableCodeInModelArchive);
    }
    fs::remove(source / "convert.py");

    testing::writeFile(directory.path() / "exists.zip", "x");
    EXPECT_THROW(ModelArchivePacker::pack(source, directory.path() / "exists.zip"), std::invalid_argument);
    EXPECT_EQ(testing::readFile(directory.path() / "exists.zip"), "x");
    EXPECT_FALSE(fs::exists(directory.path() / "a.zip"));
    EXPECT_FALSE(fs::exists(directory.path() / "b.zip"));
}

} // namespace
} // namespace hushnote
