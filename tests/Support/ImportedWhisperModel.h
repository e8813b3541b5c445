#pragma once

#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <filesystem>
#include <memory>

namespace hushnote::testing {

// A generated checkpoint imported into a model folder inside a private temporary directory.
class ImportedWhisperModel {
public:
    explicit ImportedWhisperModel(const WhisperCheckpointLayout& layout = {});

    const std::filesystem::path& checkpoint() const { return checkpoint_; }
    const std::filesystem::path& modelFolder() const { return modelFolder_; }

private:
    TemporaryDirectory directory_;
    std::filesystem::path checkpoint_;
    std::filesystem::path modelFolder_;
};

// The fixed test signal the reference fixtures were computed for: two tones for 1.5 s, then
// silence, 480000 samples.
std::vector<float> referenceSignal();

// tests/Fixtures, found through HUSHNOTE_TEST_SOURCE_DIR.
std::filesystem::path fixturesDirectory();

} // namespace hushnote::testing
