#include "tests/Support/WavFile.h"

#include <sndfile.h>

namespace hushnote::testing {

std::optional<WavFile> WavFile::read(const std::filesystem::path& file)
{
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    if (sound == nullptr) {
        return std::nullopt;
    }
    WavFile wav;
    wav.sampleRate = info.samplerate;
    wav.channels = info.channels;
    wav.format = info.format;
    wav.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    wav.samples.resize(static_cast<std::size_t>(sf_read_short(sound, wav.samples.data(), static_cast<sf_count_t>(wav.samples.size()))));
    sf_close(sound);
    return wav;
}

bool WavFile::isPcm16Wav() const
{
    return (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

} // namespace hushnote::testing
