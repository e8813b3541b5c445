#include "HushnoteApp/AppCoordinator.h"

#include "Foundation/Uuid.h"
#include "HushnoteApp/DiagnosticsError.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteCore/WhisperTranscriberError.h"

#include <cstdio>
#include <system_error>

namespace hushnote {

using Level = DiagnosticsLogEvent::Level;

namespace {

std::string formatMilliseconds(double milliseconds)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", milliseconds);
    return buffer;
}

void deleteFile(const std::optional<std::filesystem::path>& file)
{
    if (file) {
        std::error_code ignored;
        std::filesystem::remove(*file, ignored);
    }
}

// A key already present keeps its value.
void mergeKeepingExisting(DiagnosticsMetadata& into, const std::map<std::string, std::string>& from)
{
    for (const auto& [key, value] : from) {
        into.emplace(key, value);
    }
}

} // namespace

AppCoordinator::AppCoordinator(Executor mainLoop, CoordinatorComponents components)
    : mainLoop_(std::move(mainLoop))
    , diagnostics_(components.diagnostics)
    , functionKeyMonitor_(components.functionKeyMonitor)
    , microphoneRecorder_(components.microphoneRecorder)
    , textInserter_(components.textInserter)
    , clipboard_(components.clipboard)
    , metricsStore_(components.metricsStore)
    , diagnosticsLogger_(components.diagnosticsLogger)
    , clock_(components.clock)
{
}

AppCoordinator::~AppCoordinator()
{
    functionKeyMonitor_.onEdge = nullptr;
}

void AppCoordinator::connectFunctionKeyMonitor()
{
    std::weak_ptr<bool> alive = alive_;
    functionKeyMonitor_.onEdge = [this, alive](FunctionKeyEdge edge) {
        if (!alive.expired()) {
            // Read now: the next press clears it, possibly before the coroutine runs.
            const bool combination
                = edge == FunctionKeyEdge::released && functionKeyMonitor_.holdIsKeyCombination();
            spawnOnMainLoop(handle(edge, combination), "dictation");
        }
    };
}

void AppCoordinator::spawnOnMainLoop(asio::awaitable<void> operation, std::string category)
{
    std::weak_ptr<bool> alive = alive_;
    auto& logger = diagnosticsLogger_;
    spawn(mainLoop_, std::move(operation), [&logger, alive, category](std::exception_ptr error) {
        if (!alive.expired()) {
            logger.error(category, error, "Operation failed");
        }
    });
}

void AppCoordinator::setWhisperTranscriber(std::shared_ptr<SpeechTranscriber> transcriber)
{
    whisperTranscriber_ = std::move(transcriber);
}

void AppCoordinator::setCleanupOrchestrator(std::shared_ptr<TranscriptCleaner> orchestrator)
{
    cleanupOrchestrator_ = std::move(orchestrator);
}

DiagnosticsMetadata AppCoordinator::dictationMetadata(DiagnosticsMetadata extra) const
{
    if (activeDictationID_) {
        extra.emplace("dictationID", *activeDictationID_);
    }
    return extra;
}

void AppCoordinator::log(
    Level level, const std::string& category, const std::string& message, DiagnosticsMetadata metadata)
{
    diagnosticsLogger_.record(level, category, message, metadata);
}

asio::awaitable<void> AppCoordinator::handle(FunctionKeyEdge edge, bool keyCombination)
{
    const bool pressed = edge == FunctionKeyEdge::pressed;
    if (pressed && stateMachine_.state() == DictationState::idle) {
        activeDictationID_ = makeUuidString();
    }
    log(Level::info, "input.fn", pressed ? "fn button pressed" : "fn button released",
        dictationMetadata({{"edge", std::string(toString(edge))},
            {"state", std::string(toString(stateMachine_.state()))}}));
    if (pressed) {
        co_await startRecording();
    } else {
        co_await finishRecording(keyCombination);
    }
}

asio::awaitable<void> AppCoordinator::startRecording()
{
    if (stateMachine_.state() != DictationState::idle) {
        log(Level::warning, "input.fn", "fn press ignored because dictation is busy", dictationMetadata());
        co_return;
    }
    try {
        stateMachine_.handle(DictationEvent::functionKeyPressed);
    } catch (...) {
        fail(std::current_exception(), "Recording");
        co_return;
    }
    updateState("Recording while fn is held");

    // The dictation this start belongs to; the key may be released (and the dictation ended)
    // while the recorder is still starting.
    const auto dictationID = activeDictationID_;
    std::exception_ptr startError;
    try {
        co_await microphoneRecorder_.start();
    } catch (...) {
        startError = std::current_exception();
    }
    const bool stillOurs = activeDictationID_ == dictationID && stateMachine_.state() == DictationState::recording;
    if (startError) {
        if (stillOurs) {
            fail(startError, "Recording");
        }
        co_return;
    }
    if (!stillOurs) {
        // Nobody will ever stop this recording: stop it now and throw the audio away, so the
        // next dictation does not find the recorder busy.
        std::optional<std::filesystem::path> orphan;
        try {
            orphan = microphoneRecorder_.stop();
        } catch (...) {
        }
        deleteFile(orphan);
        log(Level::warning, "input.fn", "Discarded a recording that started after its dictation ended",
            dictationID ? DiagnosticsMetadata{{"dictationID", *dictationID}} : DiagnosticsMetadata{});
    }
}

void AppCoordinator::discardShortTap(const std::string& detail, const std::string& message)
{
    std::optional<std::filesystem::path> file;
    try {
        file = microphoneRecorder_.stop();
    } catch (...) {
    }
    deleteFile(file);
    try {
        stateMachine_.handle(DictationEvent::failure);
        stateMachine_.handle(DictationEvent::reset);
    } catch (...) {
    }
    updateState(detail);
    log(Level::info, "input.fn", message, dictationMetadata());
    functionKeyMonitor_.resetEdgeTracker();
    activeDictationID_.reset();
}

asio::awaitable<void> AppCoordinator::finishRecording(bool keyCombination)
{
    if (stateMachine_.state() != DictationState::recording) {
        co_return;
    }
    const auto startedAt = microphoneRecorder_.startedAt();
    if (!startedAt) {
        fail(std::make_exception_ptr(MicrophoneRecorderError(MicrophoneRecorderError::Kind::notRecording)),
            "Recording finalization");
        co_return;
    }
    const std::chrono::duration<double> tapLength = clock_.now() - *startedAt;
    if (tapLength.count() < kShortTapSeconds) {
        discardShortTap("Ignored a short fn tap", "Short fn tap ignored");
        co_return;
    }
    // Right Ctrl+C and the like are shortcuts, not dictations: nothing is transcribed or pasted.
    if (keyCombination) {
        discardShortTap("Ignored a key combination", "fn key combination ignored");
        co_return;
    }

    // Held by value: runtimes may be reconfigured while this dictation is suspended.
    const auto transcriber = whisperTranscriber_;
    const auto orchestrator = cleanupOrchestrator_;
    std::optional<std::filesystem::path> audioFile;
    std::exception_ptr failure;
    try {
        const auto flowStart = clock_.monotonicNow();
        stateMachine_.handle(DictationEvent::functionKeyReleased);

        updateState("Finalizing 16 kHz mono audio");
        auto stageStart = clock_.monotonicNow();
        audioFile = microphoneRecorder_.stop();
        recordMetric(millisecondsBetween(stageStart, clock_.monotonicNow()), FlowStage::audioFinalization);

        stateMachine_.handle(DictationEvent::audioFinalized);
        updateState("Transcribing locally with Whisper");
        if (!transcriber) {
            throw WhisperTranscriberError::runtimeNotLinked();
        }
        stageStart = clock_.monotonicNow();
        // The forwarder may run on the transcriber's executor: it only touches the thread-safe
        // logger and values it owns.
        TranscriptionDiagnostics forwarder
            = [&logger = diagnosticsLogger_, dictationID = activeDictationID_](
                  const TranscriptionDiagnosticEvent& event) {
                  const bool vad = event.stage == TranscriptionDiagnosticStage::vad;
                  std::string message = vad ? "VAD detector" : "Speech model";
                  switch (event.status) {
                  case TranscriptionDiagnosticStatus::triggered: message += " triggered"; break;
                  case TranscriptionDiagnosticStatus::succeeded: message += " succeeded"; break;
                  case TranscriptionDiagnosticStatus::failed: message += " failed"; break;
                  }
                  DiagnosticsMetadata metadata;
                  if (dictationID) {
                      metadata.emplace("dictationID", *dictationID);
                  }
                  mergeKeepingExisting(metadata, event.metadata);
                  logger.record(event.status == TranscriptionDiagnosticStatus::failed ? Level::error : Level::info,
                      vad ? "dictation.vad" : "dictation.speech-model", message, metadata);
              };
        const auto transcript = co_await transcriber->transcribe(*audioFile, forwarder);
        recordMetric(millisecondsBetween(stageStart, clock_.monotonicNow()), FlowStage::whisperTranscription);

        stateMachine_.handle(DictationEvent::transcriptReady);
        updateState("Cleaning transcript locally");
        stageStart = clock_.monotonicNow();
        log(Level::info, "dictation.language-model", "Language model triggered", dictationMetadata());

        CleanupResult result;
        if (orchestrator) {
            result = co_await orchestrator->clean(transcript.text, CleanupPrompt::v3());
        } else {
            result = CleanupResult{transcript.text, "raw-whisper", true, std::nullopt, {}};
        }
        const double cleanupMilliseconds = millisecondsBetween(stageStart, clock_.monotonicNow());

        for (const auto& entry : result.failures) {
            log(Level::error, "dictation.language-model", "Language model provider failed",
                dictationMetadata({{"provider", entry.provider}, {"errorType", entry.errorType},
                    {"errorDomain", entry.errorDomain}, {"errorCode", std::to_string(entry.errorCode)},
                    {"stackTrace", entry.stackTrace}}));
        }
        if (!result.usedRawFallback) {
            log(Level::info, "dictation.language-model", "Language model succeeded",
                dictationMetadata({{"provider", result.provider},
                    {"durationMilliseconds", formatMilliseconds(cleanupMilliseconds)}}));
        } else {
            log(Level::warning, "dictation.language-model", "Language model failed; using raw speech-model output",
                dictationMetadata({{"provider", result.provider},
                    {"durationMilliseconds", formatMilliseconds(cleanupMilliseconds)},
                    {"providerFailureCount", std::to_string(result.failures.size())}}));
            co_await logCleanupSnapshots("dictation.cleanup");
        }
        recordMetric(cleanupMilliseconds, FlowStage::cleanup);
        stateMachine_.handle(DictationEvent::cleanupFinished);

        updateState(result.usedRawFallback ? "Pasting raw Whisper fallback" : "Pasting cleaned transcript");
        stageStart = clock_.monotonicNow();
        std::string finalText = result.text;
        if (finalText.empty() || finalText.back() != ' ') {
            finalText += ' ';
        }
        diagnostics_.setLastTranscript(finalText);
        std::string destination;
        if (diagnostics_.dictationScratchpadFocused()) {
            diagnostics_.appendToScratchpad(finalText);
            destination = "practiceScratchpad";
        } else {
            textInserter_.insert(finalText);
            destination = "focusedApplication";
        }
        const double insertionMilliseconds = millisecondsBetween(stageStart, clock_.monotonicNow());
        log(Level::info, "dictation.insertion",
            destination == "focusedApplication" ? "Generated content pasted"
                                                : "Generated content inserted into practice scratchpad",
            dictationMetadata({{"destination", destination},
                {"durationMilliseconds", formatMilliseconds(insertionMilliseconds)}}));
        recordMetric(insertionMilliseconds, FlowStage::insertion);

        stateMachine_.handle(DictationEvent::insertionFinished);
        recordMetric(millisecondsBetween(flowStart, clock_.monotonicNow()), FlowStage::total);
        updateState("Ready");
        functionKeyMonitor_.resetEdgeTracker();
        refresh();
        log(Level::info, "dictation", "Dictation completed", dictationMetadata());
        activeDictationID_.reset();
        deleteFile(audioFile);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        deleteFile(audioFile);
        fail(failure, failureContext(stateMachine_.state()));
    }
}

std::string AppCoordinator::failureContext(DictationState state)
{
    switch (state) {
    case DictationState::idle:
    case DictationState::recording: return "Recording";
    case DictationState::finalizingAudio: return "Audio finalization";
    case DictationState::transcribing: return "Whisper transcription";
    case DictationState::cleaning: return "Transcript cleanup";
    case DictationState::inserting: return "Transcript insertion";
    case DictationState::failed: return "Dictation";
    }
    return "Dictation";
}

void AppCoordinator::updateState(const std::string& detail)
{
    diagnostics_.setDictationState(stateMachine_.state());
    diagnostics_.setDetail(detail);
    diagnostics_.setHasError(false);
    if (recordingToastController_) {
        recordingToastController_->update(stateMachine_.state());
    }
    log(Level::info, "dictation.state", detail,
        dictationMetadata({{"state", std::string(toString(stateMachine_.state()))}}));
}

void AppCoordinator::fail(const std::exception_ptr& error, const std::string& context)
{
    diagnosticsLogger_.error("dictation", error, "Operation failed",
        dictationMetadata({{"state", std::string(toString(stateMachine_.state()))}, {"context", context}}));
    stateMachine_.handle(DictationEvent::failure);
    updateState(DiagnosticsError::userMessage(error, context));
    diagnostics_.setHasError(true);
    try {
        stateMachine_.handle(DictationEvent::reset);
    } catch (...) {
    }
    diagnostics_.setDictationState(stateMachine_.state());
    functionKeyMonitor_.resetEdgeTracker();
    activeDictationID_.reset();
}

void AppCoordinator::recordMetric(double milliseconds, FlowStage stage)
{
    metricsStore_.record(milliseconds, stage);
    diagnostics_.setMetrics(metricsStore_.snapshot());
}

asio::awaitable<void> AppCoordinator::logCleanupSnapshots(
    std::string category, std::optional<std::vector<CleanupRuntimeSnapshot>> snapshots)
{
    if (!snapshots) {
        // Kept out of a conditional expression: GCC 12 miscompiles co_await inside one.
        snapshots.emplace();
        if (const auto orchestrator = cleanupOrchestrator_) {
            *snapshots = co_await orchestrator->snapshots();
        }
    }
    for (const auto& snapshot : *snapshots) {
        const std::string status(toString(snapshot.status));
        log(Level::warning, category, snapshot.detail.value_or("Cleanup provider is " + status),
            {{"provider", snapshot.provider}, {"status", status}, {"endpoint", snapshot.endpoint},
                {"model", snapshot.model}});
    }
}

void AppCoordinator::copyLastTranscript()
{
    const auto& text = diagnostics_.lastTranscript();
    if (text.empty()) {
        return;
    }
    clipboard_.setText(text);
    log(Level::info, "dictation.insertion", "Generated content copied to clipboard", {});
}

namespace {

asio::awaitable<void> publishCleanupProviders(
    std::shared_ptr<TranscriptCleaner> orchestrator, DiagnosticsStore& diagnostics, std::weak_ptr<bool> alive)
{
    std::vector<CleanupRuntimeSnapshot> snapshots;
    if (orchestrator) {
        snapshots = co_await orchestrator->snapshots();
    }
    if (!alive.expired()) {
        diagnostics.setCleanupProviders(std::move(snapshots));
    }
}

} // namespace

void AppCoordinator::refresh()
{
    diagnostics_.refreshPermissions(true);
    diagnostics_.setMetrics(metricsStore_.snapshot());
    spawnOnMainLoop(publishCleanupProviders(cleanupOrchestrator_, diagnostics_, alive_), "dictation.cleanup");
}

} // namespace hushnote
