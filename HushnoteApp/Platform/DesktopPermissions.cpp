#include "HushnoteApp/Platform/DesktopPermissions.h"

namespace hushnote {

DesktopPermissions::DesktopPermissions(Executor blocking, KeystrokeSender& keystrokes, AudioCaptureSource& microphone,
    LaunchAtLoginController& launchAtLogin)
    : blocking_(std::move(blocking))
    , keystrokes_(keystrokes)
    , microphoneSource_(microphone)
    , launchAtLogin_(launchAtLogin)
{
}

bool DesktopPermissions::isAccessibilityTrusted()
{
    return keystrokes_.canDeliver();
}

bool DesktopPermissions::isLaunchAtLoginEnabled()
{
    return launchAtLogin_.status() == LoginItemStatus::enabled;
}

asio::awaitable<bool> DesktopPermissions::requestMicrophone()
{
    if (microphone_ == PermissionState::authorized) {
        co_return true;
    }
    // Unlike a one-time system prompt, a refusal here can change at any moment (a microphone
    // plugged in, the sound server started), so every request checks again.
    bool accepted = false;
    try {
        accepted = co_await runBlocking(blocking_, [&source = microphoneSource_] {
            source.open();
            return true;
        });
    } catch (...) {
        accepted = false;
    }
    microphone_ = accepted ? PermissionState::authorized : PermissionState::denied;
    co_return accepted;
}

} // namespace hushnote
