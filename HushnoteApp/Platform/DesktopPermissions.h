#pragma once

#include "Foundation/Async.h"
#include "HushnoteApp/LaunchAtLoginController.h"
#include "HushnoteApp/Platform/AudioCapture.h"
#include "HushnoteApp/Platform/KeystrokeSender.h"
#include "HushnoteApp/Platform/PlatformServices.h"

namespace hushnote {

// Permissions as a Linux desktop grants them: the paste keystroke is allowed when the
// keystroke sender can deliver it; the microphone is allowed when the sound server accepts a
// capture stream from its default source (checked by opening one, off the main loop); the
// login item is the autostart entry. Main loop only; the collaborators must outlive it.
class DesktopPermissions final : public Permissions {
public:
    // `blocking` runs the microphone check (it waits for the sound server).
    DesktopPermissions(Executor blocking, KeystrokeSender& keystrokes, AudioCaptureSource& microphone,
        LaunchAtLoginController& launchAtLogin);

    bool isAccessibilityTrusted() override;
    PermissionState microphoneAuthorization() override { return microphone_; }
    bool isLaunchAtLoginEnabled() override;

    asio::awaitable<bool> requestMicrophone() override;
    // X11 has nothing to ask: XTEST is there or not.
    asio::awaitable<void> requestAccessibility() override { co_return; }
    std::string accessibilityExplanation() override { return keystrokes_.explanation(); }

private:
    Executor blocking_;
    KeystrokeSender& keystrokes_;
    AudioCaptureSource& microphoneSource_;
    LaunchAtLoginController& launchAtLogin_;
    PermissionState microphone_ = PermissionState::notDetermined;
};

} // namespace hushnote
