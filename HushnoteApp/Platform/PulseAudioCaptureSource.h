#pragma once

#include "HushnoteApp/Platform/AudioCapture.h"

#include <string>

namespace hushnote {

// Captures the sound server's default source through libpulse-simple (PulseAudio, or
// PipeWire's PulseAudio layer). The server is the one libpulse finds by itself ($PULSE_SERVER,
// then the user's session). Thread-safe: each open() is an independent connection.
class PulseAudioCaptureSource final : public AudioCaptureSource {
public:
    // `applicationName` is how the stream is listed in the desktop's volume control.
    explicit PulseAudioCaptureSource(std::string applicationName = "Hushnote");

    // Blocks until the stream runs. Throws AudioCaptureError.
    std::unique_ptr<AudioCaptureStream> open() override;

private:
    std::string applicationName_;
};

} // namespace hushnote
