#pragma once

#include "Foundation/Async.h"
#include "Foundation/Clock.h"
#include "HushnoteApp/DiagnosticsLogger.h"
#include "HushnoteApp/DiagnosticsStore.h"
#include "HushnoteApp/FunctionKeyMonitor.h"
#include "HushnoteApp/LaunchAtLoginController.h"
#include "HushnoteApp/Platform/PlatformServices.h"
#include "HushnoteApp/Platform/Workspace.h"
#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/DictationState.h"
#include "HushnoteCore/AssetTransfer.h"
#include "HushnoteCore/FlowMetrics.h"
#include "HushnoteCore/ModelInstallTypes.h"
#include "HushnoteCore/TranscriptionTypes.h"

#include <filesystem>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

struct RemoteAssetManifest;

// Where model installation finds its inputs. installed() gives the running application's;
// tests point them at fixtures.
struct ModelAssetSources {
    // The application's resources directory (the installed share directory).
    std::optional<std::filesystem::path> bundleResourcesDirectory;
    // The source tree's Resources/ directory.
    std::optional<std::filesystem::path> projectResourcesDirectory;
    // Info.json's string keys ("HushnoteAssetManifestURL", "HushnoteAssetPublicKey", ...).
    std::map<std::string, std::string> info;
    ModelDownloadSession downloadSession;

    static ModelAssetSources installed();
};

// The long-lived components the coordinator drives. The composition root owns them; they
// must outlive the coordinator.
struct CoordinatorComponents {
    DiagnosticsStore& diagnostics;
    FunctionKeyMonitor& functionKeyMonitor;
    AudioRecorder& microphoneRecorder;
    TextInsertion& textInserter;
    Clipboard& clipboard;
    FlowMetricsStore& metricsStore;
    DiagnosticsLogger& diagnosticsLogger;
    const Clock& clock;
};

// What the permission and login-item actions of the setup window need. The composition root
// owns the services; they must outlive the coordinator.
struct PermissionServices {
    Permissions& permissions;
    LaunchAtLoginController& launchAtLogin;
    Workspace& workspace;
    // What the user holds to dictate, for status texts ("Right Ctrl").
    std::string dictationKeyName;
    // Help pages opened when a permission is missing (the desktop's counterpart of the
    // privacy settings).
    std::string accessibilityHelpURL;
    std::string microphoneHelpURL;
    // For the permission snapshot: the application's identifier and installed location.
    std::string bundleIdentifier;
    std::string bundlePath;
};

// Runs one dictation at a time from a key edge to insertion. Every member runs on the main
// loop executor given at construction; each edge is its own coroutine there, and the long
// stages suspend it while other edges and user actions are handled in between.
class AppCoordinator {
public:
    AppCoordinator(Executor mainLoop, CoordinatorComponents components);
    ~AppCoordinator();

    AppCoordinator(const AppCoordinator&) = delete;
    AppCoordinator& operator=(const AppCoordinator&) = delete;

    // Routes the monitor's edges into handle(); edges that arrive after the coordinator is
    // gone are dropped.
    void connectFunctionKeyMonitor();

    // Replaced whenever the local runtimes are reconfigured; a dictation in flight keeps the
    // instances it started with.
    void setWhisperTranscriber(std::shared_ptr<SpeechTranscriber> transcriber);
    void setCleanupOrchestrator(std::shared_ptr<TranscriptCleaner> orchestrator);
    void setRecordingToastController(RecordingOverlay* overlay) { recordingToastController_ = overlay; }

    // `keyCombination`: another key went down during the hold that this release ends; such a
    // hold is discarded like a short tap.
    asio::awaitable<void> handle(FunctionKeyEdge edge, bool keyCombination = false);

    void setPermissionServices(PermissionServices services);
    // Setup-window actions; each runs on the main loop and reports through the status store
    // and the log. Without permission services they do nothing.
    void requestAccessibility();
    void requestMicrophone();
    void enableLaunchAtLogin();
    void toggleLaunchAtLogin();
    void logPermissionSnapshot(const std::string& category);

    void copyLastTranscript();
    void refresh();

    // Logs one warning per snapshot; with no list, asks the orchestrator (empty when none).
    asio::awaitable<void> logCleanupSnapshots(std::string category,
        std::optional<std::vector<CleanupRuntimeSnapshot>> snapshots = std::nullopt);

    // Model installation (AppCoordinatorAssets.cpp). The asynchronous members run on the main
    // loop, never fail towards the caller and report through the status store and the log.

    // "HUSHNOTE_ASSET_MANIFEST_URL" when set and not empty (text that does not parse gives
    // none), else Info.json's "HushnoteAssetManifestURL" when not empty; absolute form.
    static std::optional<std::string> assetManifestURL();
    static std::optional<std::string> assetManifestURL(const std::map<std::string, std::string>& info);
    // "HUSHNOTE_FORCE_ASSET_DOWNLOAD" is exactly "1".
    static bool forceAssetDownload();

    // Installs both models from the asset server's manifest at `manifestURL`.
    asio::awaitable<void> installRemoteAssets(std::string manifestURL, std::filesystem::path appSupport);
    // Installs both models from the copies shipped with the application.
    asio::awaitable<void> seedBundledModels(std::filesystem::path appSupport);
    // The start-up step that installs missing models: from the asset server when a manifest
    // location is configured, else from the shipped copies, with the set-up items published
    // first.
    asio::awaitable<void> installLocalModels(std::filesystem::path appSupport);

    static std::optional<std::filesystem::path> bundledWhisperDirectory();
    static std::optional<std::filesystem::path> bundledWhisperDirectory(
        const std::optional<std::filesystem::path>& bundleResources,
        const std::optional<std::filesystem::path>& projectResources);
    static std::optional<std::filesystem::path> bundledOllamaModelsDirectory();
    static std::optional<std::filesystem::path> bundledOllamaModelsDirectory(
        const std::optional<std::filesystem::path>& bundleResources,
        const std::optional<std::filesystem::path>& projectResources);
    // The Resources/ directory of the source tree this binary was built from (it may not exist).
    static std::optional<std::filesystem::path> projectResourcesDirectory();
    // The first present entry that is an existing directory.
    static std::optional<std::filesystem::path> firstExistingDirectory(
        const std::vector<std::optional<std::filesystem::path>>& candidates);

    void setModelAssetSources(ModelAssetSources sources) { assetSources_ = std::move(sources); }

    DictationState state() const { return stateMachine_.state(); }
    const std::optional<std::string>& activeDictationID() const { return activeDictationID_; }

    static constexpr double kShortTapSeconds = 0.15;

private:
    // Starts `operation` on the main loop; an escaped exception is logged under `category`
    // unless the coordinator is gone by then.
    void spawnOnMainLoop(asio::awaitable<void> operation, std::string category);
    asio::awaitable<void> startRecording();
    asio::awaitable<void> finishRecording(bool keyCombination);
    void discardShortTap(const std::string& detail, const std::string& message);
    asio::awaitable<void> completeAccessibilityRequest(std::string initialState);
    asio::awaitable<void> completeMicrophoneRequest(std::string initialState);
    void applyLaunchAtLogin(const std::function<void(LaunchAtLoginController&)>& change, const std::string& context);
    void updateState(const std::string& detail);
    void fail(const std::exception_ptr& error, const std::string& context);
    void recordMetric(double milliseconds, FlowStage stage);

    // Metadata carrying "dictationID" while a dictation is active, plus `extra`.
    DiagnosticsMetadata dictationMetadata(DiagnosticsMetadata extra = {}) const;
    void log(DiagnosticsLogEvent::Level level, const std::string& category, const std::string& message,
        DiagnosticsMetadata metadata);

    static std::string failureContext(DictationState state);

    asio::awaitable<void> installRemoteWhisper(
        const RemoteAssetManifest& manifest, std::string manifestURL, std::filesystem::path appSupport);
    asio::awaitable<void> installRemoteGemma(
        const RemoteAssetManifest& manifest, std::string manifestURL, std::filesystem::path appSupport);
    // Publishes each value into the set-up item on the main loop, while the coordinator lives.
    ModelDownloadProgressHandler progressPublisher(bool whisper);

    Executor mainLoop_;
    DiagnosticsStore& diagnostics_;
    FunctionKeyMonitor& functionKeyMonitor_;
    AudioRecorder& microphoneRecorder_;
    TextInsertion& textInserter_;
    Clipboard& clipboard_;
    FlowMetricsStore& metricsStore_;
    DiagnosticsLogger& diagnosticsLogger_;
    const Clock& clock_;

    DictationStateMachine stateMachine_;
    std::shared_ptr<SpeechTranscriber> whisperTranscriber_;
    std::shared_ptr<TranscriptCleaner> cleanupOrchestrator_;
    RecordingOverlay* recordingToastController_ = nullptr;
    std::unique_ptr<PermissionServices> permissionServices_;
    std::optional<std::string> activeDictationID_;
    ModelAssetSources assetSources_ = ModelAssetSources::installed();

    // Expires with the coordinator, so callbacks and detached coroutines can tell it is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace hushnote
