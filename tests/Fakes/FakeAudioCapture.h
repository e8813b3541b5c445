#pragma once

#include "HushnoteApp/Platform/AudioCapture.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace hushnote::testing {

// A capture source playing a script: first `samples`, then what `afterwards` says. Streams
// share their state with the source through a shared pointer, so a stream may outlive the
// test body on a capture thread.
class FakeAudioCaptureSource final : public AudioCaptureSource {
public:
    enum class Afterwards {
        // Silence in real time, 10 ms per 160 samples, like an idle microphone.
        pacedSilence,
        // The source disappears: read() fails.
        end,
        // Nothing arrives: read() blocks until release().
        block,
    };

    FakeAudioCaptureSource();
    ~FakeAudioCaptureSource() override;

    std::unique_ptr<AudioCaptureStream> open() override;

    void setScript(std::vector<std::int16_t> samples, Afterwards afterwards);
    void setOpenError(std::exception_ptr error);
    // What pendingSamples() answers.
    void setPendingSamples(std::size_t pending);
    // Unblocks streams in `block` mode; they then end.
    void release();
    int openCount() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace hushnote::testing
