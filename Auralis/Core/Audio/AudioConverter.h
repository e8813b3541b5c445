#pragma once

#include "Auralis/Core/Audio/AudioFormat.h"
#include "Auralis/Core/Audio/AudioPCMBuffer.h"

#include <memory>
#include <optional>
#include <string>

namespace auralis {

// Converts float32 buffers from one sample rate and channel layout to another with libsoxr
// (high quality). Channel counts must match, or the input must be mono (copied to every
// output channel). Each conversion is independent: it starts from silence and flushes the
// resampler's tail, so one input buffer gives about rate-ratio times its frames.
class AudioConverter {
public:
    // Fails (nullptr) for invalid formats or a channel mapping it cannot do.
    static std::unique_ptr<AudioConverter> create(
        const AudioFormat& input, const AudioFormat& output);

    const AudioFormat& inputFormat() const { return input_; }
    const AudioFormat& outputFormat() const { return output_; }

    // Converts all frames of `input` into `output` (from its start, up to its capacity),
    // setting output's frame length. Returns the resampler's error text on failure.
    std::optional<std::string> convert(const AudioPCMBuffer& input, AudioPCMBuffer& output) const;

private:
    AudioConverter(const AudioFormat& input, const AudioFormat& output)
        : input_(input)
        , output_(output)
    {
    }

    AudioFormat input_;
    AudioFormat output_;
};

} // namespace auralis
