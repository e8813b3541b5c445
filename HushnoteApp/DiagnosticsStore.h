#pragma once

#include "HushnoteApp/Platform/PlatformServices.h"
#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/DictationState.h"
#include "HushnoteCore/FlowMetrics.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

enum class SetupItemStatus { pending, settingUp, ready, failed };

std::string_view toString(SetupItemStatus status);

struct SetupItemProgress {
    std::int64_t bytesCompleted = 0;
    std::int64_t totalBytes = 0;

    bool operator==(const SetupItemProgress&) const = default;
};

struct SetupItemState {
    SetupItemStatus status = SetupItemStatus::pending;
    std::string detail;
    std::optional<SetupItemProgress> progress;

    bool operator==(const SetupItemState&) const = default;
};

// Facts about the build and the machine, fixed when the store is created.
struct SystemFacts {
    std::string appVersion;
    // The distribution's pretty name and the kernel release; named after the field the
    // window shows.
    std::string macOSVersion;
    std::uint64_t memory = 0;

    // Reads Info.json's version keys from `resourceDirectory`, /etc/os-release, uname and
    // the installed memory.
    static SystemFacts current(const std::filesystem::path& resourceDirectory);
    // "<short version> (<bundle version>)", with "development" and "local" for missing keys.
    static std::string appVersionFrom(const std::map<std::string, std::string>& info);
};

// The observable status the user interface reads. Main loop only: every write notifies the
// observers synchronously, on the writer's thread.
class DiagnosticsStore {
public:
    enum class Property {
        dictationState,
        detail,
        hasError,
        accessibility,
        microphone,
        whisperModel,
        cleanupProviders,
        metrics,
        lastTranscript,
        dictationScratchpad,
        dictationScratchpadAppendRevision,
        dictationScratchpadFocused,
        launchAtLogin,
        whisperSetup,
        gemmaSetup,
    };

    using Observer = std::function<void(Property)>;
    using ObserverID = std::uint64_t;

    // `permissions` must outlive the store; it is read once here and on every refresh.
    DiagnosticsStore(Permissions& permissions, SystemFacts facts);

    ObserverID addObserver(Observer observer);
    void removeObserver(ObserverID id);

    DictationState dictationState() const { return dictationState_; }
    const std::string& detail() const { return detail_; }
    bool hasError() const { return hasError_; }
    PermissionState accessibility() const { return accessibility_; }
    PermissionState microphone() const { return microphone_; }
    const std::string& whisperModel() const { return whisperModel_; }
    const std::vector<CleanupRuntimeSnapshot>& cleanupProviders() const { return cleanupProviders_; }
    const FlowMetrics& metrics() const { return metrics_; }
    const std::string& lastTranscript() const { return lastTranscript_; }
    const std::string& dictationScratchpad() const { return dictationScratchpad_; }
    int dictationScratchpadAppendRevision() const { return dictationScratchpadAppendRevision_; }
    bool dictationScratchpadFocused() const { return dictationScratchpadFocused_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    const SetupItemState& whisperSetup() const { return whisperSetup_; }
    const SetupItemState& gemmaSetup() const { return gemmaSetup_; }

    void setDictationState(DictationState value) { assign(dictationState_, value, Property::dictationState); }
    void setDetail(std::string value) { assign(detail_, std::move(value), Property::detail); }
    void setHasError(bool value) { assign(hasError_, value, Property::hasError); }
    void setAccessibility(PermissionState value) { assign(accessibility_, value, Property::accessibility); }
    void setMicrophone(PermissionState value) { assign(microphone_, value, Property::microphone); }
    void setWhisperModel(std::string value) { assign(whisperModel_, std::move(value), Property::whisperModel); }
    void setCleanupProviders(std::vector<CleanupRuntimeSnapshot> value)
    {
        assign(cleanupProviders_, std::move(value), Property::cleanupProviders);
    }
    void setMetrics(FlowMetrics value) { assign(metrics_, std::move(value), Property::metrics); }
    void setLastTranscript(std::string value) { assign(lastTranscript_, std::move(value), Property::lastTranscript); }
    void setDictationScratchpad(std::string value)
    {
        assign(dictationScratchpad_, std::move(value), Property::dictationScratchpad);
    }
    void setDictationScratchpadFocused(bool value)
    {
        assign(dictationScratchpadFocused_, value, Property::dictationScratchpadFocused);
    }
    void setLaunchAtLogin(bool value) { assign(launchAtLogin_, value, Property::launchAtLogin); }
    void setWhisperSetup(SetupItemState value) { assign(whisperSetup_, std::move(value), Property::whisperSetup); }
    void setGemmaSetup(SetupItemState value) { assign(gemmaSetup_, std::move(value), Property::gemmaSetup); }

    const std::string& appVersion() const { return facts_.appVersion; }
    const std::string& macOSVersion() const { return facts_.macOSVersion; }
    std::uint64_t memory() const { return facts_.memory; }

    bool localModelsReady() const;
    bool setupComplete() const;

    void refreshPermissions(bool includeLaunchAtLogin);
    // Appends with one separating space and bumps the append revision.
    void appendToScratchpad(const std::string& text);

private:
    template <typename T, typename V>
    void assign(T& field, V&& value, Property property)
    {
        if (field == value) {
            return;
        }
        field = std::forward<V>(value);
        notify(property);
    }
    void notify(Property property);

    Permissions& permissions_;
    SystemFacts facts_;
    std::map<ObserverID, Observer> observers_;
    ObserverID nextObserverID_ = 1;

    DictationState dictationState_ = DictationState::idle;
    std::string detail_ = "Starting local services";
    bool hasError_ = false;
    PermissionState accessibility_ = PermissionState::denied;
    PermissionState microphone_ = PermissionState::notDetermined;
    std::string whisperModel_ = "Not configured";
    std::vector<CleanupRuntimeSnapshot> cleanupProviders_;
    FlowMetrics metrics_{20};
    std::string lastTranscript_;
    std::string dictationScratchpad_;
    int dictationScratchpadAppendRevision_ = 0;
    bool dictationScratchpadFocused_ = false;
    bool launchAtLogin_ = false;
    SetupItemState whisperSetup_{SetupItemStatus::pending, "Waiting to install Whisper", std::nullopt};
    SetupItemState gemmaSetup_{SetupItemStatus::pending, "Waiting to install Gemma", std::nullopt};
};

} // namespace hushnote
