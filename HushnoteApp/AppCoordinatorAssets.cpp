// The coordinator's model installation: remote assets from the manifest, and seeding from the
// copies shipped with the application.
#include "HushnoteApp/AppCoordinator.h"

#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/DiagnosticsError.h"
#include "HushnoteApp/RemoteAssetManifest.h"
#include "HushnoteCore/BackgroundWork.h"
#include "HushnoteCore/BundledModelSeeder.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/ModelInstallManager.h"

#include <asio/post.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace hushnote {

using Level = DiagnosticsLogEvent::Level;
namespace fs = std::filesystem;

namespace {

constexpr const char* kWhisperModelID = "openai_whisper-small";
constexpr const char* kBundledStoreSeedID = "ollama-gemma4-e2b-v1";
constexpr const char* kWhisperKind = "whisper-coreml";
constexpr const char* kGemmaKind = "ollama-model-store";
constexpr const char* kDownloadingWhisper = "Downloading Whisper assets";
constexpr const char* kDownloadingGemma = "Downloading Gemma assets";

SetupItemState settingUp(std::string detail, std::optional<SetupItemProgress> progress = std::nullopt)
{
    return SetupItemState{SetupItemStatus::settingUp, std::move(detail), progress};
}

SetupItemState failedItem(std::string detail)
{
    return SetupItemState{SetupItemStatus::failed, std::move(detail), std::nullopt};
}

std::optional<SetupItemProgress> setupProgress(const ModelDownloadProgress& progress)
{
    if (!progress.totalBytesExpected || *progress.totalBytesExpected < 1) {
        return std::nullopt;
    }
    const auto total = *progress.totalBytesExpected;
    return SetupItemProgress{std::clamp<std::int64_t>(progress.bytesReceived, 0, total), total};
}

std::optional<SetupItemProgress> firstProgress(const std::optional<std::int64_t>& compressedSizeBytes)
{
    return setupProgress(ModelDownloadProgress{0, compressedSizeBytes});
}

bool isRegularFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

std::string remoteMarkerName(const RemoteAssetArtifact& artifact)
{
    return ".hushnote-" + artifact.id + "-" + artifact.version + ".remote";
}

std::optional<std::string> nonEmptyEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace

ModelAssetSources ModelAssetSources::installed()
{
    ModelAssetSources sources;
    sources.bundleResourcesDirectory = ApplicationPaths::resourceDirectory();
    sources.projectResourcesDirectory = AppCoordinator::projectResourcesDirectory();
    sources.info = readInfoDictionary(ApplicationPaths::resourceDirectory() / "Info.json");
    return sources;
}

std::optional<std::string> AppCoordinator::assetManifestURL()
{
    return assetManifestURL(readInfoDictionary(ApplicationPaths::resourceDirectory() / "Info.json"));
}

std::optional<std::string> AppCoordinator::assetManifestURL(const std::map<std::string, std::string>& info)
{
    if (const auto configured = nonEmptyEnvironment("HUSHNOTE_ASSET_MANIFEST_URL")) {
        return AssetURL::parse(*configured);
    }
    const auto it = info.find("HushnoteAssetManifestURL");
    if (it == info.end() || it->second.empty()) {
        return std::nullopt;
    }
    return AssetURL::parse(it->second);
}

bool AppCoordinator::forceAssetDownload()
{
    const char* value = std::getenv("HUSHNOTE_FORCE_ASSET_DOWNLOAD");
    return value != nullptr && std::string(value) == "1";
}

ModelDownloadProgressHandler AppCoordinator::progressPublisher(bool whisper)
{
    // Called on the transfer's thread: only the copy of the value crosses to the main loop.
    return [executor = mainLoop_, alive = std::weak_ptr<bool>(alive_), store = &diagnostics_, whisper](
               const ModelDownloadProgress& progress) {
        asio::post(executor, [alive, store, whisper, progress] {
            if (alive.expired()) {
                return;
            }
            if (whisper) {
                store->setWhisperSetup(settingUp(kDownloadingWhisper, setupProgress(progress)));
            } else {
                store->setGemmaSetup(settingUp(kDownloadingGemma, setupProgress(progress)));
            }
        });
    };
}

asio::awaitable<void> AppCoordinator::installLocalModels(fs::path appSupport)
{
    const auto manifestURL = assetManifestURL(assetSources_.info);
    if (!manifestURL) {
        diagnostics_.setDetail("Preparing bundled local models");
        diagnostics_.setWhisperSetup(settingUp("Installing bundled Whisper"));
        diagnostics_.setGemmaSetup(settingUp("Installing bundled Gemma"));
        co_await seedBundledModels(std::move(appSupport));
        co_return;
    }
    diagnostics_.setDetail("Preparing local models from asset server");
    diagnostics_.setWhisperSetup(settingUp(kDownloadingWhisper));
    diagnostics_.setGemmaSetup(settingUp(kDownloadingGemma));
    co_await installRemoteAssets(*manifestURL, std::move(appSupport));
}

asio::awaitable<void> AppCoordinator::installRemoteAssets(std::string manifestURL, fs::path appSupport)
{
    std::optional<std::string> publicKey;
    if (const auto it = assetSources_.info.find("HushnoteAssetPublicKey");
        it != assetSources_.info.end() && !it->second.empty()) {
        publicKey = it->second;
    }
    std::exception_ptr failure;
    try {
        const auto manifest = co_await RemoteAssetManifest::load(manifestURL, assetSources_.downloadSession, publicKey);
        log(Level::info, "setup.assets", "Loaded remote asset manifest",
            {{"url", AssetURL::parse(manifestURL).value_or(manifestURL)}, {"version", manifest.manifestVersion}});
        co_await installRemoteWhisper(manifest, manifestURL, appSupport);
        co_await installRemoteGemma(manifest, manifestURL, appSupport);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        co_return;
    }
    diagnostics_.setDetail(DiagnosticsError::userMessage(failure, "Asset server install"));
    diagnostics_.setHasError(true);
    diagnostics_.setWhisperSetup(failedItem("Asset install failed"));
    diagnostics_.setGemmaSetup(failedItem("Asset install failed"));
    diagnosticsLogger_.error("setup.assets", failure, "Operation failed");
}

asio::awaitable<void> AppCoordinator::installRemoteWhisper(
    const RemoteAssetManifest& manifest, std::string manifestURL, fs::path appSupport)
{
    const auto artifact = manifest.publishedArtifact(kWhisperKind);
    if (!artifact) {
        log(Level::warning, "setup.whisper", "Remote manifest has no published Whisper artifact", {});
        co_return;
    }
    const auto url = RemoteAssetManifest::downloadURL(*artifact, manifestURL);
    ModelInstallManager manager(appSupport / "models",
        ModelArtifact{artifact->id, url, artifact->sha256, artifact->relativeInstallPath, artifact->compressedSizeBytes});
    const auto snapshot = co_await manager.snapshot();
    if (snapshot.status == ModelInstallStatus::ready && !forceAssetDownload()) {
        diagnostics_.setWhisperSetup(settingUp("Checking Whisper install"));
        log(Level::info, "setup.whisper", "Remote Whisper already installed", {});
        co_return;
    }
    diagnostics_.setDetail("Downloading Whisper from asset server");
    diagnostics_.setWhisperSetup(settingUp(kDownloadingWhisper, firstProgress(artifact->compressedSizeBytes)));
    log(Level::info, "setup.whisper", "Downloading remote Whisper artifact", {{"url", url.value_or("")}});
    co_await manager.downloadAndInstall(assetSources_.downloadSession, progressPublisher(true));
    diagnostics_.setWhisperSetup(settingUp("Checking Whisper install"));
}

asio::awaitable<void> AppCoordinator::installRemoteGemma(
    const RemoteAssetManifest& manifest, std::string manifestURL, fs::path appSupport)
{
    const auto artifact = manifest.publishedArtifact(kGemmaKind);
    if (!artifact) {
        log(Level::warning, "setup.cleanup", "Remote manifest has no published Gemma artifact", {});
        co_return;
    }
    const auto installDirectory = appSupport / "models" / artifact->relativeInstallPath;
    const auto marker = installDirectory / remoteMarkerName(*artifact);
    if (isRegularFile(marker) && !forceAssetDownload()) {
        diagnostics_.setGemmaSetup(settingUp("Checking Gemma install"));
        log(Level::info, "setup.cleanup", "Remote Gemma already installed", {});
        co_return;
    }
    const auto url = RemoteAssetManifest::downloadURL(*artifact, manifestURL);
    if (!url) {
        throw ModelInstallError::missingDownloadURL();
    }
    diagnostics_.setDetail("Downloading Gemma from asset server");
    diagnostics_.setGemmaSetup(settingUp(kDownloadingGemma, firstProgress(artifact->compressedSizeBytes)));
    log(Level::info, "setup.cleanup", "Downloading remote Gemma artifact", {{"url", *url}});

    const auto session = assetSources_.downloadSession;
    const auto archive = co_await ModelInstallManager::downloadArchive(
        *url, artifact->compressedSizeBytes, session, progressPublisher(false));
    std::optional<fs::path> extraction;
    std::exception_ptr failure;
    try {
        // Hashing and unpacking hundreds of megabytes stay off the main loop.
        // Named callables: GCC 12 destroys some temporaries of a co_await expression twice.
        auto unpack = [&archive, &session, &artifact] {
            ModelInstallManager::checkDownloadedArchive(archive, artifact->sha256);
            return ModelInstallManager::extractAndScan(archive.file, session);
        };
        extraction = co_await runOnOwnThread(std::move(unpack));
        const auto seedID = artifact->id + "-" + artifact->version + ".remote";
        co_await BundledModelSeeder::mergeOllamaStoreIfNeededAsync(*extraction, installDirectory, seedID);
        if (!isRegularFile(marker)) {
            std::ofstream create(marker, std::ios::binary);
        }
        diagnostics_.setGemmaSetup(settingUp("Checking Gemma install"));
    } catch (...) {
        failure = std::current_exception();
    }
    auto removeLeftovers = [&archive, &extraction] {
        std::error_code ignored;
        fs::remove(archive.file, ignored);
        if (extraction) {
            fs::remove_all(*extraction, ignored);
        }
    };
    co_await runOnOwnThread(std::move(removeLeftovers));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

std::optional<fs::path> AppCoordinator::projectResourcesDirectory()
{
    // This file's path as the compiler saw it: <root>/HushnoteApp/AppCoordinatorAssets.cpp.
    return fs::path(__FILE__).parent_path().parent_path() / "Resources";
}

std::optional<fs::path> AppCoordinator::firstExistingDirectory(const std::vector<std::optional<fs::path>>& candidates)
{
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (candidate && fs::is_directory(*candidate, error)) {
            return candidate;
        }
    }
    return std::nullopt;
}

namespace {

std::optional<fs::path> below(const std::optional<fs::path>& root, const fs::path& relative)
{
    if (!root) {
        return std::nullopt;
    }
    return *root / relative;
}

} // namespace

std::optional<fs::path> AppCoordinator::bundledWhisperDirectory()
{
    return bundledWhisperDirectory(ApplicationPaths::resourceDirectory(), projectResourcesDirectory());
}

std::optional<fs::path> AppCoordinator::bundledWhisperDirectory(
    const std::optional<fs::path>& bundleResources, const std::optional<fs::path>& projectResources)
{
    const auto relative = fs::path("models") / "whisper" / kWhisperModelID;
    return firstExistingDirectory({below(bundleResources, relative), below(projectResources, relative)});
}

std::optional<fs::path> AppCoordinator::bundledOllamaModelsDirectory()
{
    return bundledOllamaModelsDirectory(ApplicationPaths::resourceDirectory(), projectResourcesDirectory());
}

std::optional<fs::path> AppCoordinator::bundledOllamaModelsDirectory(
    const std::optional<fs::path>& bundleResources, const std::optional<fs::path>& projectResources)
{
    const auto relative = fs::path("models") / "ollama";
    return firstExistingDirectory({below(bundleResources, relative), below(projectResources, relative)});
}

asio::awaitable<void> AppCoordinator::seedBundledModels(fs::path appSupport)
{
    const auto models = appSupport / "models";
    // Named values, not temporaries of the co_await expressions: GCC 12 mishandles those.
    const auto managedWhisper = models / "whisper" / kWhisperModelID;
    const auto managedStore = models / "ollama";
    const auto whisperSource
        = bundledWhisperDirectory(assetSources_.bundleResourcesDirectory, assetSources_.projectResourcesDirectory);
    const auto storeSource
        = bundledOllamaModelsDirectory(assetSources_.bundleResourcesDirectory, assetSources_.projectResourcesDirectory);
    std::exception_ptr failure;
    try {
        const bool installed
            = co_await BundledModelSeeder::installWhisperIfNeededAsync(whisperSource, managedWhisper, kWhisperModelID);
        if (installed) {
            diagnostics_.setDetail("Installed bundled Whisper model");
            log(Level::info, "setup.whisper", "Installed bundled Whisper model", {});
        } else {
            diagnostics_.setWhisperSetup(settingUp("Checking Whisper install"));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        diagnostics_.setWhisperSetup(failedItem("Bundled Whisper setup failed"));
        diagnosticsLogger_.error("setup.whisper", failure, "Operation failed");
        failure = nullptr;
    }
    try {
        const bool merged
            = co_await BundledModelSeeder::mergeOllamaStoreIfNeededAsync(storeSource, managedStore, kBundledStoreSeedID);
        if (merged) {
            diagnostics_.setDetail("Installed bundled Gemma model");
            log(Level::info, "setup.cleanup", "Installed bundled Gemma model", {});
        } else {
            diagnostics_.setGemmaSetup(settingUp("Checking Gemma install"));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        diagnostics_.setGemmaSetup(failedItem("Bundled Gemma setup failed"));
        diagnosticsLogger_.error("setup.cleanup", failure, "Operation failed");
    }
}

} // namespace hushnote
