#pragma once

#include "Foundation/Async.h"
#include "Foundation/Clock.h"
#include "HushnoteApp/Platform/AudioCapture.h"
#include "HushnoteApp/Platform/PlatformServices.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace hushnote {

namespace detail {
struct RecordingSession;
} // namespace detail

// Records the default microphone into a private WAV file (16 kHz, mono, 16-bit little-endian
// PCM) while the dictation key is held. Capture runs on a thread of its own, one per
// recording; every member runs on the main loop executor given at construction. The
// collaborators must outlive the recorder.
class MicrophoneRecorder final : public AudioRecorder {
public:
    // A finished file of this size or less holds no audio.
    static constexpr std::uintmax_t kEmptyRecordingBytes = 44;
    // Samples per read from the stream: 10 ms, so a stop waits at most that long.
    static constexpr std::size_t kChunkSamples = 160;

    // `directory` is where recordings go (created private, mode 0700); see defaultDirectory().
    MicrophoneRecorder(Executor mainLoop, Permissions& permissions, AudioCaptureSource& source,
        std::filesystem::path directory, const Clock& clock);
    ~MicrophoneRecorder() override;

    MicrophoneRecorder(const MicrophoneRecorder&) = delete;
    MicrophoneRecorder& operator=(const MicrophoneRecorder&) = delete;

    // Returns once the capture stream runs. Throws MicrophoneRecorderError (alreadyRecording,
    // permissionDenied, failedToStart) or std::filesystem::filesystem_error.
    asio::awaitable<void> start() override;
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    // Takes what is still buffered, closes the file and returns it (the caller owns it).
    // Throws MicrophoneRecorderError (notRecording, emptyRecording; an empty file is deleted)
    // or std::filesystem::filesystem_error. Idle afterwards in every case.
    std::filesystem::path stop() override;

    const std::optional<std::filesystem::path>& outputURL() const { return outputURL_; }

    // Runs on the main loop when the stream ends by itself mid-recording (the source went
    // away). The captured audio stays in the file until stop().
    std::function<void()> onCaptureEnded;

    // $TMPDIR (or /tmp) / "Hushnote".
    static std::filesystem::path defaultDirectory();
    // Deletes recordings a crashed run left in `directory`: "-whisper.wav" files that no
    // running recording holds. Returns the deleted files; a missing directory gives none.
    static std::vector<std::filesystem::path> deleteLeftoverRecordings(const std::filesystem::path& directory);

private:
    asio::awaitable<void> openStream(std::shared_ptr<detail::RecordingSession> session);
    void endSession();

    Executor mainLoop_;
    Permissions& permissions_;
    AudioCaptureSource& source_;
    std::filesystem::path directory_;
    const Clock& clock_;

    bool starting_ = false;
    std::shared_ptr<detail::RecordingSession> session_;
    std::thread captureThread_;
    std::optional<std::filesystem::path> outputURL_;
    std::optional<WallTime> startedAt_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace hushnote
