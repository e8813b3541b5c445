#include "HushnoteApp/Platform/PulseAudioCaptureSource.h"

#include "HushnoteApp/Platform/AudioCaptureError.h"

#include <pulse/error.h>
#include <pulse/simple.h>

namespace hushnote {

namespace {

constexpr pa_sample_spec kSampleFormat{PA_SAMPLE_S16LE, 16000, 1};
// 10 ms fragments: the server hands audio over as soon as each fragment is full, which keeps
// the first sample and the end of a recording close to the key edges.
constexpr std::uint32_t kFragmentBytes = 320;

class PulseAudioCaptureStream final : public AudioCaptureStream {
public:
    explicit PulseAudioCaptureStream(pa_simple* stream) : stream_(stream) {}
    ~PulseAudioCaptureStream() override { pa_simple_free(stream_); }

    bool read(std::span<std::int16_t> samples) override
    {
        int error = 0;
        return pa_simple_read(stream_, samples.data(), samples.size_bytes(), &error) == 0;
    }

    std::size_t pendingSamples() override
    {
        int error = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
        if (latency == static_cast<pa_usec_t>(-1)) {
            return 0;
        }
        return static_cast<std::size_t>(latency * kSampleFormat.rate / 1'000'000);
    }

private:
    pa_simple* stream_;
};

} // namespace

PulseAudioCaptureSource::PulseAudioCaptureSource(std::string applicationName)
    : applicationName_(std::move(applicationName))
{
}

std::unique_ptr<AudioCaptureStream> PulseAudioCaptureSource::open()
{
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = kFragmentBytes;
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, applicationName_.c_str(), PA_STREAM_RECORD, nullptr, "Dictation",
        &kSampleFormat, nullptr, &attributes, &error);
    if (stream == nullptr) {
        throw AudioCaptureError(AudioCaptureError::Kind::streamRefused, pa_strerror(error));
    }
    return std::make_unique<PulseAudioCaptureStream>(stream);
}

} // namespace hushnote
