#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace hushnote {

// An open capture stream of 16 kHz mono signed 16-bit samples. Used by one thread at a time.
class AudioCaptureStream {
public:
    virtual ~AudioCaptureStream() = default;
    // Blocks until `samples` is full. False when the stream ended (the source disappeared or
    // the server went away); `samples` then holds nothing usable.
    virtual bool read(std::span<std::int16_t> samples) = 0;
    // Roughly how many samples are captured but not yet read, so a stop can take them too.
    virtual std::size_t pendingSamples() = 0;
};

// The default microphone of the sound server.
class AudioCaptureSource {
public:
    virtual ~AudioCaptureSource() = default;
    // Opens a stream from the default source. Blocks until the stream is running; throws
    // AudioCaptureError when the server refuses or has no source. Any thread.
    virtual std::unique_ptr<AudioCaptureStream> open() = 0;
};

} // namespace hushnote
