#pragma once

#include "HushnoteCore/TranscriptionTypes.h"
#include "HushnoteCore/WhisperModelDescriptor.h"

#include <asio/awaitable.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace auralis {
class Auralis;
struct DecodingOptions;
}

namespace hushnote {

// The application's doorway to the speech engine: one engine, created on first use and kept,
// transcribing recordings with fixed decoding settings and reporting privacy-safe events.
//
// A serialised object: every operation runs on its own strand over a private worker thread
// (the engine blocks while it computes), and the awaiting coroutine resumes on its own
// executor. `diagnostics` is called on the worker thread, synchronously and in order.
class WhisperTranscriber final : public SpeechTranscriber {
public:
    static constexpr std::string_view kModelID = "openai_whisper-small";

    // Validates the folder; throws WhisperTranscriberError. No engine is created yet.
    explicit WhisperTranscriber(WhisperModelDescriptor descriptor);
    ~WhisperTranscriber() override;
    WhisperTranscriber(const WhisperTranscriber&) = delete;
    WhisperTranscriber& operator=(const WhisperTranscriber&) = delete;

    const WhisperModelDescriptor& descriptor() const { return descriptor_; }

    // Creates and loads the engine unless it exists. Its errors propagate; a failure leaves
    // no engine, so the next call tries again.
    asio::awaitable<void> warmup();

    // The recording's transcript. Throws std::filesystem::filesystem_error (no such file)
    // before any engine work when the file is missing, WhisperTranscriberError::emptyTranscript,
    // and the engine's loading, audio and transcription errors.
    asio::awaitable<TranscriptResult> transcribe(
        std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics) override;

    // The decoding settings every dictation uses.
    static auralis::DecodingOptions decodingOptions();

    // errorType, errorDomain, errorCode, errorDescription (at most 2000 characters),
    // stackTrace and durationMilliseconds of a failure.
    static std::map<std::string, std::string> failureMetadata(const std::exception_ptr& error, double durationMilliseconds);

private:
    asio::awaitable<void> ensureEngine();
    asio::awaitable<void> doWarmup();
    asio::awaitable<TranscriptResult> doTranscribe(std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics);

    WhisperModelDescriptor descriptor_;
    asio::thread_pool worker_{1};
    asio::strand<asio::thread_pool::executor_type> strand_;
    std::unique_ptr<auralis::Auralis> engine_;
};

} // namespace hushnote
