#include "tests/Support/ImportedWhisperModel.h"

#include "Auralis/Runtime/ModelImporter.h"

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

namespace hushnote::testing {

ImportedWhisperModel::ImportedWhisperModel(const WhisperCheckpointLayout& layout)
    : checkpoint_(directory_.path() / "checkpoint")
    , modelFolder_(directory_.path() / "openai_whisper-test")
{
    writeWhisperCheckpoint(checkpoint_, layout);
    auralis::runtime::importCheckpoint(checkpoint_, modelFolder_);
}

std::vector<float> referenceSignal()
{
    std::vector<float> samples(480000, 0.0f);
    for (std::size_t n = 0; n < 24000; ++n) {
        const double t = static_cast<double>(n) / 16000.0;
        samples[n] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) + 0.1 * std::sin(2 * std::numbers::pi * 1234 * t));
    }
    return samples;
}

std::filesystem::path fixturesDirectory()
{
    const char* source = std::getenv("HUSHNOTE_TEST_SOURCE_DIR");
    if (source == nullptr) {
        throw std::runtime_error("HUSHNOTE_TEST_SOURCE_DIR is not set");
    }
    return std::filesystem::path(source) / "Fixtures";
}

} // namespace hushnote::testing
