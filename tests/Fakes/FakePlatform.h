#pragma once

#include "Foundation/Async.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/Platform/PlatformServices.h"
#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/TranscriptionTypes.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hushnote::testing {

// Writes a small real WAV file on stop() so ownership and deletion can be checked on disk.
class FakeAudioRecorder final : public AudioRecorder {
public:
    FakeAudioRecorder(std::filesystem::path directory, const Clock& clock);

    asio::awaitable<void> start() override;
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    std::filesystem::path stop() override;

    // Before start() completes it waits this long on the loop (a slow permission prompt).
    std::chrono::milliseconds startDelay{0};
    std::exception_ptr startError;
    std::exception_ptr stopError;
    std::vector<std::filesystem::path> producedFiles;
    int stopCount = 0;

private:
    std::filesystem::path directory_;
    const Clock& clock_;
    std::optional<WallTime> startedAt_;
    bool recording_ = false;
    bool starting_ = false;
};

class FakeSpeechTranscriber final : public SpeechTranscriber {
public:
    asio::awaitable<TranscriptResult> transcribe(
        std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics) override;

    std::string text = "hello world";
    std::exception_ptr error;
    std::chrono::milliseconds delay{0};
    std::vector<std::filesystem::path> audioFiles;
    bool audioFileExisted = false;
};

class FakeTranscriptCleaner final : public TranscriptCleaner {
public:
    asio::awaitable<CleanupResult> clean(std::string text, CleanupPrompt prompt) override;
    asio::awaitable<std::vector<CleanupRuntimeSnapshot>> snapshots() override;
    asio::awaitable<std::optional<CleanupRuntimeSnapshot>> prepareFirstAvailable() override;

    // When unset, the cleaner accepts its input upper-cased as "fake-provider".
    std::optional<CleanupResult> result;
    std::vector<CleanupRuntimeSnapshot> snapshotList;
    std::vector<std::string> receivedTexts;
    std::vector<CleanupPrompt> receivedPrompts;
};

class FakeTextInsertion final : public TextInsertion {
public:
    void insert(const std::string& text) override;

    std::vector<std::string> inserted;
    std::exception_ptr error;
};

class FakeClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override { contents.push_back(text); }
    std::vector<std::string> contents;
};

class FakeRecordingOverlay final : public RecordingOverlay {
public:
    void update(DictationState state) override { states.push_back(state); }
    std::vector<DictationState> states;
};

class FakePermissions final : public Permissions {
public:
    bool isAccessibilityTrusted() override { return accessibilityTrusted; }
    PermissionState microphoneAuthorization() override { return microphone; }
    bool isLaunchAtLoginEnabled() override { return launchAtLogin; }

    bool accessibilityTrusted = true;
    PermissionState microphone = PermissionState::authorized;
    bool launchAtLogin = false;
};

} // namespace hushnote::testing
