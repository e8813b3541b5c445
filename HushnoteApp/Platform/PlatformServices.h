#pragma once

// Roles the coordinator needs of the desktop. Linux implementations live beside this file and
// are chosen at the composition root; tests use the fakes in tests/Fakes.

#include "Foundation/Clock.h"
#include "HushnoteCore/DictationState.h"

#include <asio/awaitable.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

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

class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Replaces the clipboard's content with plain text.
    virtual void setText(const std::string& text) = 0;
};

// The recording overlay.
class RecordingOverlay {
public:
    virtual ~RecordingOverlay() = default;
    virtual void update(DictationState state) = 0;
};

// Permission and login-item reads.
class Permissions {
public:
    virtual ~Permissions() = default;
    // True when a paste keystroke can be delivered.
    virtual bool isAccessibilityTrusted() = 0;
    virtual PermissionState microphoneAuthorization() = 0;
    virtual bool isLaunchAtLoginEnabled() = 0;
};

// Where no desktop services are known yet: nothing can be pasted, the microphone has not been
// checked, no login item exists.
class UndeterminedPermissions final : public Permissions {
public:
    bool isAccessibilityTrusted() override { return false; }
    PermissionState microphoneAuthorization() override { return PermissionState::notDetermined; }
    bool isLaunchAtLoginEnabled() override { return false; }
};

} // namespace hushnote
