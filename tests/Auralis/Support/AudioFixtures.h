#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace auralis::testing {

// Writes interleaved float samples with libsndfile; `format` is a libsndfile major|subtype
// code such as SF_FORMAT_WAV | SF_FORMAT_PCM_24.
void writeAudioFile(const std::filesystem::path& path, int sampleRate, int channels, int format,
    const std::vector<float>& interleaved);

// A 16-bit WAV from exact integer samples, so that reading back gives value / 32768 exactly.
void writeWav16(const std::filesystem::path& path, int sampleRate, int channels,
    const std::vector<std::int16_t>& interleaved);

// amplitude * sin(2 pi f t + phase) for `frames` samples at `sampleRate`.
std::vector<float> sine(
    std::int64_t frames, double sampleRate, double frequency, double amplitude, double phase = 0.0);

// Interleaves equally long channels.
std::vector<float> interleave(const std::vector<std::vector<float>>& channels);

// Byte offset of the 4-byte size field of a WAV file's "data" chunk.
std::size_t wavDataSizeOffset(const std::filesystem::path& path);

// Overwrites 4 little-endian bytes at `offset`.
void patchUint32(const std::filesystem::path& path, std::size_t offset, std::uint32_t value);

} // namespace auralis::testing
