#include "HushnoteCore/WhisperModelDescriptor.h"
#include "HushnoteCore/WhisperTranscriberError.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

TEST(WhisperModelDescriptor, NamesTheFirstMissingStageInOrder)
{
    testing::TemporaryDirectory directory;
    const auto model = directory.path() / "model";
    const WhisperModelDescriptor descriptor{"openai_whisper-small", model};

    const auto failure = [&]() -> std::optional<WhisperTranscriberError> {
        try {
            descriptor.validate();
            return std::nullopt;
        } catch (const WhisperTranscriberError& error) {
            return error;
        }
    };
    EXPECT_EQ(failure(), WhisperTranscriberError::modelPathMissing());
    testing::writeFile(model, "a file, not a folder");
    EXPECT_EQ(failure(), WhisperTranscriberError::modelPathMissing());
    fs::remove(model);

    fs::create_directories(model / "MelSpectrogram.mlmodelc");
    EXPECT_EQ(failure(), WhisperTranscriberError::requiredModelFileMissing("AudioEncoder.mlmodelc"));
    fs::create_directories(model / "AudioEncoder.mlmodelc");
    EXPECT_EQ(failure(), WhisperTranscriberError::requiredModelFileMissing("TextDecoder.mlmodelc"));
    EXPECT_EQ(failure()->description(), "Whisper model directory is missing TextDecoder.mlmodelc");
    // Existence is all that counts, and no tokenizer is needed here.
    testing::writeFile(model / "TextDecoder.mlmodelc", "");
    EXPECT_EQ(failure(), std::nullopt);
    EXPECT_TRUE(descriptor.isValid());

    // Through a link to the folder.
    fs::create_directory_symlink(model, directory.path() / "link");
    EXPECT_TRUE((WhisperModelDescriptor{"openai_whisper-small", directory.path() / "link"}.isValid()));
}

} // namespace
} // namespace hushnote
