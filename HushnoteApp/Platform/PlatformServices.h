#pragma once

// Roles the coordinator needs of the desktop. Linux implementations live beside this file and
// are chosen at the composition root; tests use the fakes in tests/Fakes.

#include "Foundation/Clock.h"
#include "HushnoteCore/DictationState.h"

#include <asio/awaitable.hpp>

#include <cstdint>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hushnote {

enum class PermissionState { authorized, denied, notDetermined };

std::string_view toString(PermissionState state);

// Records the microphone into 16 kHz mono 16-bit WAV files. Main loop only.
class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;
    // Throws MicrophoneRecorderError or a filesystem error. On success startedAt() is set.
    virtual asio::awaitable<void> start() = 0;
    // Wall-clock start of the running recording; nullopt while idle.
    virtual std::optional<WallTime> startedAt() const = 0;
    // Stops and returns the finished file, which the caller then owns. Throws
    // MicrophoneRecorderError (notRecording, emptyRecording) or a filesystem error; the
    // recorder is idle afterwards either way.
    virtual std::filesystem::path stop() = 0;
};

// Pastes text into the focused application. Main loop only; throws TextInserterError.
class TextInsertion {
public:
    virtual ~TextInsertion() = default;
    virtual void insert(const std::string& text) = 0;
};

// A deep copy of the clipboard's content: every MIME type with its bytes, in the owner's
// order. Empty for an empty clipboard.
struct ClipboardContents {
    std::vector<std::pair<std::string, std::string>> entries;

    bool empty() const { return entries.empty(); }
    bool operator==(const ClipboardContents&) const = default;
};

// The system clipboard. Main loop only.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Replaces the clipboard's content with plain text.
    virtual void setText(const std::string& text) = 0;

    // Copies every readable MIME type of the current content (types whose data cannot be read
    // are left out). May wait for the owning application.
    virtual ClipboardContents snapshot() = 0;
    // Offers `text` as the dictation, marked secret so clipboard managers keep it out of their
    // history. `onRead` runs on the main loop whenever an application reads the text (where
    // reportsReads()). Returns false when the clipboard refused the write.
    virtual bool offerTranscript(const std::string& text, std::function<void()> onRead) = 0;
    // Puts `saved` back exactly; an empty copy clears the clipboard.
    virtual void restore(const ClipboardContents& saved) = 0;
    // Grows with every write through this object and whenever another application takes the
    // clipboard over, so an unchanged count means nobody else wrote since.
    virtual std::int64_t changeCount() = 0;
    // Whether offerTranscript's onRead is ever called on this platform.
    virtual bool reportsReads() const = 0;
};

// The recording overlay.
class RecordingOverlay {
public:
    virtual ~RecordingOverlay() = default;
    virtual void update(DictationState state) = 0;
};

// Permission and login-item reads, and the permission requests. Main loop only.
class Permissions {
public:
    virtual ~Permissions() = default;
    // True when a paste keystroke can be delivered.
    virtual bool isAccessibilityTrusted() = 0;
    // The result of the last microphone check; notDetermined before the first.
    virtual PermissionState microphoneAuthorization() = 0;
    virtual bool isLaunchAtLoginEnabled() = 0;

    // True when recording is allowed: at once when the last check allowed it, otherwise after
    // a fresh check (off the main loop). Never throws.
    virtual asio::awaitable<bool> requestMicrophone() = 0;
    // Asks the platform for the right to send keystrokes where it has such a request; never
    // throws.
    virtual asio::awaitable<void> requestAccessibility() = 0;
    // Why no paste keystroke can be delivered and how to change that, in the desktop's terms.
    virtual std::string accessibilityExplanation() = 0;
};

// Where no desktop services are known: nothing can be pasted, the microphone has not been
// checked, no login item exists.
class UndeterminedPermissions final : public Permissions {
public:
    bool isAccessibilityTrusted() override { return false; }
    PermissionState microphoneAuthorization() override { return PermissionState::notDetermined; }
    bool isLaunchAtLoginEnabled() override { return false; }
    asio::awaitable<bool> requestMicrophone() override { co_return false; }
    asio::awaitable<void> requestAccessibility() override { co_return; }
    std::string accessibilityExplanation() override
    {
        return "Hushnote runs without a desktop session, so it cannot paste";
    }
};

} // namespace hushnote
