#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace hushnote::testing {

// A WAV file as libsndfile reads it back.
struct WavFile {
    int sampleRate = 0;
    int channels = 0;
    // SF_FORMAT_* major and subtype bits.
    int format = 0;
    std::vector<std::int16_t> samples;

    // nullopt when libsndfile cannot open the file.
    static std::optional<WavFile> read(const std::filesystem::path& file);
    bool isPcm16Wav() const;
};

} // namespace hushnote::testing
