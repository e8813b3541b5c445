#include "tests/Auralis/Support/AudioFixtures.h"

#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>
#include <string>

namespace auralis::testing {
namespace {

    SNDFILE* openForWriting(
        const std::filesystem::path& path, int sampleRate, int channels, int format)
    {
        SF_INFO info {};
        info.samplerate = sampleRate;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!file) {
            throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
        }
        return file;
    }

} // namespace

void writeAudioFile(const std::filesystem::path& path, int sampleRate, int channels, int format,
    const std::vector<float>& interleaved)
{
    SNDFILE* file = openForWriting(path, sampleRate, channels, format);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / channels);
    const auto written = sf_writef_float(file, interleaved.data(), frames);
    sf_close(file);
    if (written != frames) {
        throw std::runtime_error("short write to " + path.string());
    }
}

void writeWav16(const std::filesystem::path& path, int sampleRate, int channels,
    const std::vector<std::int16_t>& interleaved)
{
    SNDFILE* file = openForWriting(path, sampleRate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / channels);
    const auto written = sf_writef_short(file, interleaved.data(), frames);
    sf_close(file);
    if (written != frames) {
        throw std::runtime_error("short write to " + path.string());
    }
}

std::vector<float> sine(
    std::int64_t frames, double sampleRate, double frequency, double amplitude, double phase)
{
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        samples[static_cast<std::size_t>(i)] = static_cast<float>(amplitude
            * std::sin(
                2.0 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate + phase));
    }
    return samples;
}

std::vector<float> interleave(const std::vector<std::vector<float>>& channels)
{
    std::vector<float> out;
    out.reserve(channels.size() * channels.front().size());
    for (std::size_t frame = 0; frame < channels.front().size(); ++frame) {
        for (const auto& channel : channels) {
            out.push_back(channel[frame]);
        }
    }
    return out;
}

std::size_t wavDataSizeOffset(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = bytes.find("data", 12);
    if (at == std::string::npos) {
        throw std::runtime_error("no data chunk in " + path.string());
    }
    return at + 4;
}

void patchUint32(const std::filesystem::path& path, std::size_t offset, std::uint32_t value)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    const char bytes[4] = { static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff),
        static_cast<char>((value >> 16) & 0xff), static_cast<char>((value >> 24) & 0xff) };
    file.write(bytes, 4);
}

} // namespace auralis::testing
