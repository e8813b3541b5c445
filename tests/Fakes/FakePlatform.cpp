#include "tests/Fakes/FakePlatform.h"

#include "Foundation/Uuid.h"

#include <fstream>

namespace hushnote::testing {

FakeAudioRecorder::FakeAudioRecorder(std::filesystem::path directory, const Clock& clock)
    : directory_(std::move(directory))
    , clock_(clock)
{
}

asio::awaitable<void> FakeAudioRecorder::start()
{
    if (recording_ || starting_) {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::alreadyRecording);
    }
    starting_ = true;
    if (startDelay.count() > 0) {
        co_await sleepFor(startDelay);
    }
    starting_ = false;
    if (startError) {
        std::rethrow_exception(startError);
    }
    recording_ = true;
    startedAt_ = clock_.now();
}

std::filesystem::path FakeAudioRecorder::stop()
{
    ++stopCount;
    if (!recording_) {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::notRecording);
    }
    recording_ = false;
    startedAt_.reset();
    if (stopError) {
        std::rethrow_exception(stopError);
    }
    std::filesystem::create_directories(directory_);
    const auto file = directory_ / (makeUuidString() + "-whisper.wav");
    std::ofstream out(file, std::ios::binary);
    out << std::string(64, '\0');
    producedFiles.push_back(file);
    return file;
}

asio::awaitable<TranscriptResult> FakeSpeechTranscriber::transcribe(
    std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics)
{
    audioFiles.push_back(audioURL);
    audioFileExisted = std::filesystem::exists(audioURL);
    if (diagnostics) {
        diagnostics({TranscriptionDiagnosticStage::vad, TranscriptionDiagnosticStatus::triggered,
            {{"detector", "Auralis.EnergyVAD"}}});
        diagnostics({TranscriptionDiagnosticStage::vad, TranscriptionDiagnosticStatus::succeeded,
            {{"detector", "Auralis.EnergyVAD"}, {"speechDetected", "true"},
                {"dictationID", "must-not-override"}}});
        diagnostics({TranscriptionDiagnosticStage::speechModel, TranscriptionDiagnosticStatus::triggered,
            {{"model", "openai_whisper-small"}}});
    }
    if (delay.count() > 0) {
        co_await sleepFor(delay);
    }
    if (error) {
        if (diagnostics) {
            diagnostics({TranscriptionDiagnosticStage::speechModel, TranscriptionDiagnosticStatus::failed,
                {{"errorType", "Auralis.WhisperError"}}});
        }
        std::rethrow_exception(error);
    }
    if (diagnostics) {
        diagnostics({TranscriptionDiagnosticStage::speechModel, TranscriptionDiagnosticStatus::succeeded,
            {{"model", "openai_whisper-small"}}});
    }
    co_return TranscriptResult{text, "openai_whisper-small"};
}

asio::awaitable<CleanupResult> FakeTranscriptCleaner::clean(std::string text, CleanupPrompt prompt)
{
    receivedTexts.push_back(text);
    receivedPrompts.push_back(prompt);
    if (result) {
        co_return *result;
    }
    std::string upper = text;
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    co_return CleanupResult{upper, "fake-provider", false, std::nullopt, {}};
}

asio::awaitable<std::vector<CleanupRuntimeSnapshot>> FakeTranscriptCleaner::snapshots()
{
    co_return snapshotList;
}

asio::awaitable<std::optional<CleanupRuntimeSnapshot>> FakeTranscriptCleaner::prepareFirstAvailable()
{
    if (snapshotList.empty()) {
        co_return std::nullopt;
    }
    co_return snapshotList.front();
}

void FakeTextInsertion::insert(const std::string& text)
{
    if (error) {
        std::rethrow_exception(error);
    }
    inserted.push_back(text);
}

void FakeClipboard::setText(const std::string& text)
{
    contents.push_back(text);
    current = ClipboardContents{{{"text/plain", text}}};
    onRead_ = nullptr;
    ++changes;
}

bool FakeClipboard::offerTranscript(const std::string& text, std::function<void()> onRead)
{
    if (refuseWrites) {
        return false;
    }
    offered.push_back(text);
    current = ClipboardContents{{{"text/plain", text}, {"x-kde-passwordManagerHint", "secret"}}};
    onRead_ = std::move(onRead);
    ++changes;
    return true;
}

void FakeClipboard::restore(const ClipboardContents& saved)
{
    current = saved;
    onRead_ = nullptr;
    ++restoreCount;
    ++changes;
}

std::string FakeClipboard::read()
{
    if (onRead_ && readsReported) {
        onRead_();
    }
    for (const auto& [type, data] : current.entries) {
        if (type == "text/plain") {
            return data;
        }
    }
    return {};
}

void FakeClipboard::writeByOtherApplication(ClipboardContents contents)
{
    current = std::move(contents);
    onRead_ = nullptr;
    ++changes;
}

void FakeKeystrokeSender::sendPaste()
{
    if (error) {
        std::rethrow_exception(error);
    }
    ++pasteCount;
    if (onPaste) {
        onPaste();
    }
}

asio::awaitable<bool> FakePermissions::requestMicrophone()
{
    ++microphoneRequests;
    microphone = microphoneGrant ? PermissionState::authorized : PermissionState::denied;
    co_return microphoneGrant;
}

asio::awaitable<void> FakePermissions::requestAccessibility()
{
    if (accessibilityAfterRequest) {
        accessibilityTrusted = *accessibilityAfterRequest;
    }
    co_return;
}

} // namespace hushnote::testing
