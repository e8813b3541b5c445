#pragma once

#include <asio/awaitable.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace hushnote {

struct TranscriptResult {
    std::string text;
    std::string modelID;

    bool operator==(const TranscriptResult&) const = default;
};

enum class TranscriptionDiagnosticStage { vad, speechModel };
enum class TranscriptionDiagnosticStatus { triggered, succeeded, failed };

std::string_view toString(TranscriptionDiagnosticStage stage);
std::string_view toString(TranscriptionDiagnosticStatus status);

// A privacy-safe report of one transcription step: timings, counts and error types, never
// audio or text.
struct TranscriptionDiagnosticEvent {
    TranscriptionDiagnosticStage stage = TranscriptionDiagnosticStage::vad;
    TranscriptionDiagnosticStatus status = TranscriptionDiagnosticStatus::triggered;
    std::map<std::string, std::string> metadata;

    bool operator==(const TranscriptionDiagnosticEvent&) const = default;
};

using TranscriptionDiagnostics = std::function<void(const TranscriptionDiagnosticEvent&)>;

// What the coordinator needs of the speech-engine adapter. Implementations are serialised
// objects: transcribe() may be awaited from the main loop while the work runs elsewhere, and
// `diagnostics` (may be empty) is called on the implementation's own executor.
class SpeechTranscriber {
public:
    virtual ~SpeechTranscriber() = default;
    virtual asio::awaitable<TranscriptResult> transcribe(
        std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics) = 0;
};

} // namespace hushnote
