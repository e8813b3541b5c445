// The coordinator's permission and login-item actions.

#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteApp/DiagnosticsError.h"

namespace hushnote {

using Level = DiagnosticsLogEvent::Level;

void AppCoordinator::setPermissionServices(PermissionServices services)
{
    permissionServices_ = std::make_unique<PermissionServices>(std::move(services));
}

void AppCoordinator::logPermissionSnapshot(const std::string& category)
{
    DiagnosticsMetadata metadata{{"accessibility", std::string(toString(diagnostics_.accessibility()))},
        {"microphone", std::string(toString(diagnostics_.microphone()))}, {"bundleIdentifier", "unknown"},
        {"bundlePath", ""}};
    if (permissionServices_) {
        if (!permissionServices_->bundleIdentifier.empty()) {
            metadata["bundleIdentifier"] = permissionServices_->bundleIdentifier;
        }
        metadata["bundlePath"] = permissionServices_->bundlePath;
    }
    log(Level::info, category, "Permission snapshot", metadata);
}

void AppCoordinator::requestAccessibility()
{
    if (!permissionServices_) {
        return;
    }
    std::string initialState = permissionServices_->permissions.isAccessibilityTrusted() ? "authorized" : "denied";
    log(Level::info, "permissions.accessibility", "Accessibility permission requested", {{"initialState", initialState}});
    spawnOnMainLoop(completeAccessibilityRequest(std::move(initialState)), "permissions.accessibility");
}

asio::awaitable<void> AppCoordinator::completeAccessibilityRequest(std::string initialState)
{
    std::weak_ptr<bool> alive = alive_;
    auto& services = *permissionServices_;
    co_await services.permissions.requestAccessibility();
    if (alive.expired()) {
        co_return;
    }
    if (!services.permissions.isAccessibilityTrusted()) {
        services.workspace.open(services.accessibilityHelpURL);
    }
    diagnostics_.refreshPermissions(true);
    const bool granted = diagnostics_.accessibility() == PermissionState::authorized;
    log(Level::info, "permissions.accessibility", "Accessibility permission request completed",
        {{"initialState", initialState}, {"finalState", std::string(toString(diagnostics_.accessibility()))},
            {"granted", granted ? "true" : "false"}});
    logPermissionSnapshot("permissions.accessibility");
    // There is no accessibility switch to point at on Linux: say what stops the paste.
    diagnostics_.setDetail(granted ? "Accessibility access granted" : services.permissions.accessibilityExplanation());
}

void AppCoordinator::requestMicrophone()
{
    if (!permissionServices_) {
        return;
    }
    std::string initialState(toString(permissionServices_->permissions.microphoneAuthorization()));
    log(Level::info, "permissions.microphone", "Requesting microphone access", {{"initialState", initialState}});
    spawnOnMainLoop(completeMicrophoneRequest(std::move(initialState)), "permissions.microphone");
}

asio::awaitable<void> AppCoordinator::completeMicrophoneRequest(std::string initialState)
{
    std::weak_ptr<bool> alive = alive_;
    auto& services = *permissionServices_;
    const bool granted = co_await services.permissions.requestMicrophone();
    if (alive.expired()) {
        co_return;
    }
    diagnostics_.refreshPermissions(true);
    log(Level::info, "permissions.microphone", "Microphone permission request completed",
        {{"initialState", initialState}, {"finalState", std::string(toString(diagnostics_.microphone()))},
            {"granted", granted ? "true" : "false"}});
    logPermissionSnapshot("permissions.microphone");
    if (granted) {
        diagnostics_.setDetail("Microphone access granted - hold " + services.dictationKeyName + " to dictate");
        diagnostics_.setHasError(false);
        co_return;
    }
    diagnostics_.setDetail("Microphone access is required: the sound server (PulseAudio or PipeWire) gave no "
                           "capture stream from its default input");
    diagnostics_.setHasError(true);
    const auto now = services.permissions.microphoneAuthorization();
    if (now != PermissionState::notDetermined && now != PermissionState::authorized) {
        services.workspace.open(services.microphoneHelpURL);
    }
}

void AppCoordinator::applyLaunchAtLogin(
    const std::function<void(LaunchAtLoginController&)>& change, const std::string& context)
{
    if (!permissionServices_) {
        return;
    }
    auto& controller = permissionServices_->launchAtLogin;
    try {
        change(controller);
        diagnostics_.setLaunchAtLogin(controller.status() == LoginItemStatus::enabled);
    } catch (...) {
        const auto error = std::current_exception();
        diagnostics_.setDetail(DiagnosticsError::userMessage(error, context));
        diagnostics_.setHasError(true);
        diagnosticsLogger_.error("setup.launch-at-login", error, "Operation failed");
    }
}

void AppCoordinator::enableLaunchAtLogin()
{
    applyLaunchAtLogin([](LaunchAtLoginController& controller) { controller.ensureEnabled(); },
        "Launch at login setup");
}

void AppCoordinator::toggleLaunchAtLogin()
{
    const bool enable = !diagnostics_.launchAtLogin();
    applyLaunchAtLogin([enable](LaunchAtLoginController& controller) { controller.setEnabled(enable); },
        "Launch at login update");
}

} // namespace hushnote
