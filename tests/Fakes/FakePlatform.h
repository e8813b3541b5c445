#pragma once

#include "Foundation/Async.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/Platform/KeystrokeSender.h"
#include "HushnoteApp/Platform/PlatformServices.h"
#include "HushnoteApp/Platform/Workspace.h"
#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/TranscriptionTypes.h"

#include <exception>
#include <filesystem>
#include <functional>
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

// An in-memory clipboard; tests play the other applications through read() and
// writeByOtherApplication().
class FakeClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
    ClipboardContents snapshot() override { return current; }
    bool offerTranscript(const std::string& text, std::function<void()> onRead) override;
    void restore(const ClipboardContents& saved) override;
    std::int64_t changeCount() override { return changes; }
    bool reportsReads() const override { return readsReported; }

    // An application reads the plain text (and the inserter hears of it).
    std::string read();
    void writeByOtherApplication(ClipboardContents contents);

    // Texts given to setText, in order.
    std::vector<std::string> contents;
    std::vector<std::string> offered;
    ClipboardContents current;
    std::int64_t changes = 0;
    int restoreCount = 0;
    bool readsReported = true;
    bool refuseWrites = false;

private:
    std::function<void()> onRead_;
};

class FakeKeystrokeSender final : public KeystrokeSender {
public:
    bool canDeliver() override { return deliverable; }
    void sendPaste() override;
    std::string explanation() override { return "Fake keystrokes cannot be delivered"; }

    bool deliverable = true;
    std::exception_ptr error;
    int pasteCount = 0;
    // Runs inside sendPaste(), as the target reacting to the keystroke.
    std::function<void()> onPaste;
};

class FakeWorkspace final : public Workspace {
public:
    bool open(const std::string& url) override
    {
        opened.push_back(url);
        return true;
    }
    std::vector<std::string> opened;
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
    // Answers with microphoneGrant and records the answer as the new state.
    asio::awaitable<bool> requestMicrophone() override;
    asio::awaitable<void> requestAccessibility() override;
    std::string accessibilityExplanation() override { return "Fake desktop cannot paste"; }

    bool accessibilityTrusted = true;
    PermissionState microphone = PermissionState::authorized;
    bool launchAtLogin = false;
    bool microphoneGrant = true;
    // What the accessibility request changes the trust to.
    std::optional<bool> accessibilityAfterRequest;
    int microphoneRequests = 0;
};

} // namespace hushnote::testing
