#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteCore/BundledModelSeeder.h"
#include "HushnoteCore/ModelInstallManager.h"
#include "HushnoteCore/WhisperModelDescriptor.h"
#include "tests/Fakes/FakeClock.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/AssetServer.h"
#include "tests/Support/SigningKey.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TreeListing.h"
#include "tests/Support/ZipFixture.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <unistd.h>
#include <sstream>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using testing::ZipEntry;

// Sets or clears an environment variable for the scope of one test.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, std::optional<std::string> value) : name_(std::move(name))
    {
        if (const char* old = std::getenv(name_.c_str())) {
            previous_ = old;
        }
        set(value);
    }
    ~ScopedEnvironment() { set(previous_); }

private:
    void set(const std::optional<std::string>& value)
    {
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> previous_;
};

struct LoggedEvent {
    std::string level;
    std::string category;
    std::string message;
    std::map<std::string, std::string> metadata;
};

SetupItemState item(SetupItemStatus status, std::string detail, std::optional<SetupItemProgress> progress = {})
{
    return SetupItemState{status, std::move(detail), progress};
}

const auto kSettingUp = SetupItemStatus::settingUp;

class AppCoordinatorAssetsTest : public ::testing::Test {
protected:
    AppCoordinatorAssetsTest()
        : recorder(directory.path() / "recordings", clock)
        , diagnostics(permissions, SystemFacts{"1.0 (1)", "Debian", 1})
        , metricsStore(directory.path() / "metrics.json", 20)
        , logger(appSupport / "logs", clock)
        , coordinator(loop.get_executor(),
              CoordinatorComponents{diagnostics, monitor, recorder, inserter, clipboard, metricsStore, logger, clock})
    {
        sources.bundleResourcesDirectory = directory.path() / "bundle";
        sources.projectResourcesDirectory = directory.path() / "project";
        sources.downloadSession.temporaryDirectory = directory.path() / "tmp";
        coordinator.setModelAssetSources(sources);
        diagnostics.addObserver([this](DiagnosticsStore::Property property) {
            if (property == DiagnosticsStore::Property::whisperSetup) {
                whisperHistory.push_back(diagnostics.whisperSetup());
            } else if (property == DiagnosticsStore::Property::gemmaSetup) {
                gemmaHistory.push_back(diagnostics.gemmaSetup());
            } else if (property == DiagnosticsStore::Property::detail) {
                detailHistory.push_back(diagnostics.detail());
            }
        });
        whisperZip = testing::buildZip(testing::modelEntries("openai_whisper-small/"));
        gemmaZip = testing::buildZip({{"blobs/sha256-aaa", "weights"}, {"blobs/sha256-bbb", "config"},
            {"manifests/registry.ollama.ai/library/gemma4/e2b", "{\"layers\":[]}"}});
        server.serve("/assets/files/whisper.zip", whisperZip);
        server.serve("/assets/files/gemma.zip", gemmaZip);
    }

    void run(asio::awaitable<void> operation)
    {
        std::exception_ptr escaped;
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr e) { escaped = e; });
        loop.run();
        loop.restart();
        ASSERT_FALSE(escaped) << "the operation must never fail towards its caller";
    }

    nlohmann::json whisperArtifact(std::optional<std::string> sha256 = {}) const
    {
        nlohmann::json artifact = {{"id", "openai_whisper-small"}, {"kind", "whisper-coreml"}, {"version", "1"},
            {"relativeInstallPath", "whisper/openai_whisper-small"}, {"downloadPath", "files/whisper.zip"},
            {"compressedSizeBytes", whisperZip.size()}, {"published", true}};
        artifact["sha256"] = sha256.value_or(ModelInstallManager::sha256(whisperZip));
        return artifact;
    }

    nlohmann::json gemmaArtifact() const
    {
        return {{"id", "gemma"}, {"kind", "ollama-model-store"}, {"version", "2"}, {"relativeInstallPath", "ollama"},
            {"downloadPath", server.url("/assets/files/gemma.zip")}, {"sha256", ModelInstallManager::sha256(gemmaZip)},
            {"published", true}};
    }

    // Serves a manifest at /assets/manifest.json and returns its location.
    std::string publish(std::vector<nlohmann::json> artifacts, nlohmann::json latest = nlohmann::json::object())
    {
        const nlohmann::json manifest = {{"manifestVersion", "2024.7"}, {"artifacts", artifacts}, {"latest", latest}};
        server.serve("/assets/manifest.json", manifest.dump(), 200, "application/json");
        return server.url("/assets/manifest.json");
    }

    std::vector<LoggedEvent> events()
    {
        std::vector<LoggedEvent> out;
        std::istringstream lines(testing::readFile(logger.activeLogURL()));
        std::string line;
        while (std::getline(lines, line)) {
            const auto json = nlohmann::json::parse(line);
            out.push_back({json.at("level"), json.at("category"), json.at("message"),
                json.at("metadata").get<std::map<std::string, std::string>>()});
        }
        return out;
    }

    std::optional<LoggedEvent> find(const std::string& message)
    {
        for (auto& event : events()) {
            if (event.message == message) {
                return event;
            }
        }
        return std::nullopt;
    }

    int archiveRequests() const
    {
        return server.requests("/assets/files/whisper.zip") + server.requests("/assets/files/gemma.zip");
    }

    // Anything besides the (empty) private download directory itself.
    bool temporaryFilesLeft() const
    {
        auto listing = testing::treeListing(directory.path() / "tmp");
        listing.erase("hushnote-" + std::to_string(::geteuid()));
        return !listing.empty();
    }

    void expectFailedRun(const std::string& detail)
    {
        EXPECT_EQ(diagnostics.detail(), detail);
        EXPECT_TRUE(diagnostics.hasError());
        EXPECT_EQ(diagnostics.whisperSetup(), item(SetupItemStatus::failed, "Asset install failed"));
        EXPECT_EQ(diagnostics.gemmaSetup(), item(SetupItemStatus::failed, "Asset install failed"));
        const auto failure = find("Operation failed");
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->level, "error");
        EXPECT_EQ(failure->category, "setup.assets");
        EXPECT_TRUE(failure->metadata.count("errorType"));
        EXPECT_TRUE(failure->metadata.count("stackTrace"));
    }

    fs::path managedWhisper() const { return appSupport / "models" / "whisper" / "openai_whisper-small"; }
    fs::path store() const { return appSupport / "models" / "ollama"; }

    testing::TemporaryDirectory directory;
    fs::path appSupport = directory.path() / "support";
    testing::FakeClock clock;
    asio::io_context loop;
    testing::FakePermissions permissions;
    FunctionKeyMonitor monitor;
    testing::FakeAudioRecorder recorder;
    testing::FakeTextInsertion inserter;
    testing::FakeClipboard clipboard;
    DiagnosticsStore diagnostics;
    FlowMetricsStore metricsStore;
    DiagnosticsLogger logger;
    AppCoordinator coordinator;
    ModelAssetSources sources;
    testing::AssetServer server;
    std::string whisperZip;
    std::string gemmaZip;
    std::vector<SetupItemState> whisperHistory;
    std::vector<SetupItemState> gemmaHistory;
    std::vector<std::string> detailHistory;
    ScopedEnvironment noManifestFromTheEnvironment{"HUSHNOTE_ASSET_MANIFEST_URL", std::nullopt};
    ScopedEnvironment noForce{"HUSHNOTE_FORCE_ASSET_DOWNLOAD", std::nullopt};
};

TEST_F(AppCoordinatorAssetsTest, ManifestLocationComesFromTheEnvironmentThenInfoJSON)
{
    const std::map<std::string, std::string> info{{"HushnoteAssetManifestURL", "https://info.example/manifest.json"}};
    struct Case {
        std::optional<std::string> environment;
        std::map<std::string, std::string> info;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, info, "https://info.example/manifest.json"},
        {"", info, "https://info.example/manifest.json"},
        {"https://env.example/m.json", info, "https://env.example/m.json"},
        {"not a url", info, std::nullopt},
        {std::nullopt, {{"HushnoteAssetManifestURL", ""}}, std::nullopt},
        {std::nullopt, {{"HushnoteAssetManifestURL", "no url here"}}, std::nullopt},
        {std::nullopt, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment.value_or("(unset)"));
        ScopedEnvironment environment("HUSHNOTE_ASSET_MANIFEST_URL", c.environment);
        EXPECT_EQ(AppCoordinator::assetManifestURL(c.info), c.expected);
    }
}

TEST_F(AppCoordinatorAssetsTest, OnlyTheTextOneForcesTheDownload)
{
    for (const auto& [value, forced] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {std::nullopt, false}, {"1", true}, {"true", false}, {"01", false}, {"", false}, {"1 ", false}}) {
        SCOPED_TRACE(value.value_or("(unset)"));
        ScopedEnvironment environment("HUSHNOTE_FORCE_ASSET_DOWNLOAD", value);
        EXPECT_EQ(AppCoordinator::forceAssetDownload(), forced);
    }
}

TEST_F(AppCoordinatorAssetsTest, AStartWithAManifestInstallsBothModelsWithProgressAndASecondStartDownloadsNothing)
{
    const auto manifestURL = publish({whisperArtifact(), gemmaArtifact()}, {{"whisper-coreml", "openai_whisper-small@1"}});
    ScopedEnvironment environment("HUSHNOTE_ASSET_MANIFEST_URL", manifestURL);

    run(coordinator.installLocalModels(appSupport));

    EXPECT_TRUE((WhisperModelDescriptor{"openai_whisper-small", managedWhisper()}.isValid()));
    EXPECT_EQ(testing::readFile(store() / "blobs" / "sha256-aaa"), "weights");
    EXPECT_TRUE(fs::is_regular_file(store() / ".hushnote-gemma-2.remote"));
    EXPECT_TRUE(fs::is_regular_file(store() / ".hushnote-gemma-2.remote.seeded"));
    EXPECT_FALSE(temporaryFilesLeft());
    EXPECT_FALSE(diagnostics.hasError());

    const auto size = static_cast<std::int64_t>(whisperZip.size());
    ASSERT_GE(whisperHistory.size(), 4u);
    EXPECT_EQ(whisperHistory.front(), item(kSettingUp, "Downloading Whisper assets"));
    EXPECT_EQ(whisperHistory[1], item(kSettingUp, "Downloading Whisper assets", SetupItemProgress{0, size}));
    EXPECT_EQ(whisperHistory[whisperHistory.size() - 2],
        item(kSettingUp, "Downloading Whisper assets", SetupItemProgress{size, size}));
    EXPECT_EQ(whisperHistory.back(), item(kSettingUp, "Checking Whisper install"));
    // No compressedSizeBytes for Gemma: the announced length is the total.
    const auto gemmaSize = static_cast<std::int64_t>(gemmaZip.size());
    EXPECT_EQ(gemmaHistory.front(), item(kSettingUp, "Downloading Gemma assets"));
    EXPECT_EQ(gemmaHistory[gemmaHistory.size() - 2],
        item(kSettingUp, "Downloading Gemma assets", SetupItemProgress{gemmaSize, gemmaSize}));
    EXPECT_EQ(gemmaHistory.back(), item(kSettingUp, "Checking Gemma install"));
    EXPECT_EQ(detailHistory, (std::vector<std::string>{"Preparing local models from asset server",
                                 "Downloading Whisper from asset server", "Downloading Gemma from asset server"}));

    const auto loaded = find("Loaded remote asset manifest");
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->category, "setup.assets");
    EXPECT_EQ(loaded->metadata, (std::map<std::string, std::string>{{"url", manifestURL}, {"version", "2024.7"}}));
    EXPECT_EQ(find("Downloading remote Whisper artifact")->metadata.at("url"), server.url("/assets/files/whisper.zip"));
    EXPECT_EQ(find("Downloading remote Gemma artifact")->metadata.at("url"), server.url("/assets/files/gemma.zip"));
    EXPECT_EQ(archiveRequests(), 2);

    // The next start.
    whisperHistory.clear();
    gemmaHistory.clear();
    run(coordinator.installLocalModels(appSupport));
    EXPECT_EQ(archiveRequests(), 2);
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Checking Whisper install"));
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Checking Gemma install"));
    EXPECT_TRUE(find("Remote Whisper already installed").has_value());
    EXPECT_EQ(find("Remote Gemma already installed")->category, "setup.cleanup");
    EXPECT_EQ(server.requests("/assets/manifest.json"), 2) << "the manifest is fetched anew every start";

    // Forced: both download again.
    ScopedEnvironment force("HUSHNOTE_FORCE_ASSET_DOWNLOAD", "1");
    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    EXPECT_EQ(archiveRequests(), 4);
    EXPECT_FALSE(diagnostics.hasError());
}

TEST_F(AppCoordinatorAssetsTest, AStartWithoutAManifestSeedsFromTheResources)
{
    testing::writeModelFolder(directory.path() / "project" / "models" / "whisper" / "openai_whisper-small", "project");
    testing::writeFile(directory.path() / "project" / "models" / "ollama" / "blobs" / "sha256-1", "blob");

    run(coordinator.installLocalModels(appSupport));

    EXPECT_EQ(testing::readFile(managedWhisper() / "tag.txt"), "project");
    EXPECT_EQ(testing::readFile(store() / "blobs" / "sha256-1"), "blob");
    EXPECT_TRUE(fs::is_regular_file(store() / ".hushnote-ollama-gemma4-e2b-v1.seeded"));
    EXPECT_EQ(detailHistory, (std::vector<std::string>{"Preparing bundled local models", "Installed bundled Whisper model",
                                 "Installed bundled Gemma model"}));
    // A copied model leaves its item as start-up set it; configuring the runtimes decides.
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Installing bundled Whisper"));
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Installing bundled Gemma"));
    EXPECT_EQ(find("Installed bundled Whisper model")->category, "setup.whisper");
    EXPECT_EQ(find("Installed bundled Gemma model")->category, "setup.cleanup");
    EXPECT_EQ(server.totalRequests(), 0);

    // Again: nothing to copy.
    run(coordinator.installLocalModels(appSupport));
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Checking Whisper install"));
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Checking Gemma install"));
}

TEST_F(AppCoordinatorAssetsTest, BrokenManifestsFailTheRunForBothModels)
{
    struct Case {
        const char* name;
        std::string body;
        int status;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"404", "missing", 404, "Asset server install failed: Downloaded model archive could not be extracted"},
        {"no latest", R"({"manifestVersion":"1","artifacts":[]})", 200, ""},
        {"unsafe install path",
            R"({"manifestVersion":"1","latest":{},"artifacts":[{"id":"w","kind":"whisper-coreml","version":"1",
            "relativeInstallPath":"../../.config/autostart","downloadPath":"w.zip","published":true}]})",
            200, "Asset server install failed: Asset manifest names an install path outside the models directory: "
                 "../../.config/autostart"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.serve("/assets/manifest.json", c.body, c.status, "application/json");
        run(coordinator.installRemoteAssets(server.url("/assets/manifest.json"), appSupport));
        if (c.detail.empty()) {
            EXPECT_EQ(diagnostics.detail().rfind("Asset server install failed", 0), 0u) << diagnostics.detail();
            expectFailedRun(diagnostics.detail());
        } else {
            expectFailedRun(c.detail);
        }
    }
    EXPECT_EQ(archiveRequests(), 0);
    EXPECT_FALSE(fs::exists(appSupport / "models"));
}

TEST_F(AppCoordinatorAssetsTest, AnUnpublishedLatestSkipsThatModelWithAWarning)
{
    auto unpublished = whisperArtifact();
    unpublished["version"] = "2";
    unpublished["published"] = false;
    const auto manifestURL = publish({whisperArtifact(), unpublished, gemmaArtifact()},
        {{"whisper-coreml", "openai_whisper-small@2"}});
    diagnostics.setWhisperSetup(item(kSettingUp, "Downloading Whisper assets"));

    run(coordinator.installRemoteAssets(manifestURL, appSupport));

    const auto warning = find("Remote manifest has no published Whisper artifact");
    ASSERT_TRUE(warning.has_value());
    EXPECT_EQ(warning->level, "warning");
    EXPECT_EQ(warning->category, "setup.whisper");
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Downloading Whisper assets"));
    EXPECT_FALSE(fs::exists(managedWhisper()));
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Checking Gemma install"));
    EXPECT_FALSE(diagnostics.hasError());
}

TEST_F(AppCoordinatorAssetsTest, AnInstalledWhisperIsKeptWhileGemmaIsStillInstalled)
{
    testing::writeModelFolder(managedWhisper(), "installed");
    const auto manifestURL = publish({whisperArtifact(), gemmaArtifact()});

    run(coordinator.installRemoteAssets(manifestURL, appSupport));

    EXPECT_EQ(server.requests("/assets/files/whisper.zip"), 0);
    EXPECT_EQ(testing::readFile(managedWhisper() / "tag.txt"), "installed");
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Checking Whisper install"));
    EXPECT_EQ(server.requests("/assets/files/gemma.zip"), 1);
    EXPECT_TRUE(fs::is_regular_file(store() / ".hushnote-gemma-2.remote"));
}

TEST_F(AppCoordinatorAssetsTest, ARemovedGemmaMarkerDownloadsAgainButOverwritesNothing)
{
    const auto manifestURL = publish({gemmaArtifact()});
    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    testing::writeFile(store() / "blobs" / "sha256-aaa", "changed locally");
    fs::remove(store() / ".hushnote-gemma-2.remote");
    const auto before = testing::treeListing(store());

    run(coordinator.installRemoteAssets(manifestURL, appSupport));

    EXPECT_EQ(server.requests("/assets/files/gemma.zip"), 2);
    auto after = testing::treeListing(store());
    EXPECT_EQ(after.erase(".hushnote-gemma-2.remote"), 1u) << "the marker is written again";
    EXPECT_EQ(after, before);
    EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(AppCoordinatorAssetsTest, AWhisperFailureStopsTheRunBeforeGemma)
{
    const auto manifestURL = publish({whisperArtifact(std::string(64, '0')), gemmaArtifact()});
    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    expectFailedRun("Asset server install failed: Downloaded model checksum does not match the manifest");
    EXPECT_EQ(server.requests("/assets/files/gemma.zip"), 0);
    EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(AppCoordinatorAssetsTest, ExecutableCodeInTheGemmaArchiveMergesNothing)
{
    gemmaZip = testing::buildZip({{"blobs/sha256-aaa", "weights"}, {"bin/ollama-helper", "\x7F" "ELF..."}});
    server.serve("/assets/files/gemma.zip", gemmaZip);
    testing::writeFile(store() / "blobs" / "existing", "kept");
    const auto before = testing::treeListing(store());
    const auto manifestURL = publish({gemmaArtifact()});

    run(coordinator.installRemoteAssets(manifestURL, appSupport));

    EXPECT_EQ(diagnostics.detail().rfind("Asset server install failed: Downloaded model archive contains executable code: ", 0), 0u)
        << diagnostics.detail();
    expectFailedRun(diagnostics.detail());
    EXPECT_EQ(testing::treeListing(store()), before);
    EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(AppCoordinatorAssetsTest, ProgressWithoutAPositiveTotalIsNotShown)
{
    auto artifact = gemmaArtifact();
    artifact["compressedSizeBytes"] = 0;
    server.serveChunked("/assets/files/gemma-chunked.zip", gemmaZip);
    auto chunked = gemmaArtifact();
    chunked["downloadPath"] = "files/gemma-chunked.zip";
    chunked["version"] = "3";

    for (const auto& candidate : {artifact, chunked}) {
        gemmaHistory.clear();
        run(coordinator.installRemoteAssets(publish({candidate}), appSupport));
        ASSERT_GE(gemmaHistory.size(), 2u);
        for (const auto& state : gemmaHistory) {
            EXPECT_EQ(state.progress, std::nullopt) << state.detail;
        }
        EXPECT_EQ(gemmaHistory.back(), item(kSettingUp, "Checking Gemma install"));
    }
}

TEST_F(AppCoordinatorAssetsTest, WithAPublicKeyOnlySignedManifestsAreActedOn)
{
    const testing::SigningKey key;
    sources.info["HushnoteAssetPublicKey"] = key.publicKeyBase64();
    coordinator.setModelAssetSources(sources);
    const auto manifestURL = publish({whisperArtifact(), gemmaArtifact()});

    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    expectFailedRun("Asset server install failed: Asset manifest signature is missing");

    server.serve("/assets/manifest.json.sig", testing::SigningKey().sign("{}"));
    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    expectFailedRun("Asset server install failed: Asset manifest signature is not valid");
    EXPECT_EQ(archiveRequests(), 0);

    const auto manifest = nlohmann::json{{"manifestVersion", "2024.7"},
        {"artifacts", {whisperArtifact(), gemmaArtifact()}}, {"latest", nlohmann::json::object()}}.dump();
    server.serve("/assets/manifest.json", manifest);
    server.serve("/assets/manifest.json.sig", key.sign(manifest));
    diagnostics.setHasError(false);
    run(coordinator.installRemoteAssets(manifestURL, appSupport));
    EXPECT_FALSE(diagnostics.hasError()) << diagnostics.detail();
    EXPECT_EQ(archiveRequests(), 2);
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Checking Gemma install"));
}

TEST_F(AppCoordinatorAssetsTest, SeedingFailuresAreReportedPerModel)
{
    // An invalid bundled Whisper copy and a valid store copy.
    fs::create_directories(directory.path() / "bundle" / "models" / "whisper" / "openai_whisper-small" / "AudioEncoder.mlmodelc");
    testing::writeFile(directory.path() / "bundle" / "models" / "ollama" / "blobs" / "sha256-1", "blob");

    run(coordinator.seedBundledModels(appSupport));

    EXPECT_EQ(diagnostics.whisperSetup(), item(SetupItemStatus::failed, "Bundled Whisper setup failed"));
    const auto failure = find("Operation failed");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->category, "setup.whisper");
    EXPECT_EQ(failure->metadata.at("errorType"), "HushnoteCore.BundledModelSeederError");
    EXPECT_FALSE(diagnostics.hasError());
    EXPECT_EQ(diagnostics.detail(), "Installed bundled Gemma model");
    EXPECT_EQ(testing::readFile(store() / "blobs" / "sha256-1"), "blob");
}

TEST_F(AppCoordinatorAssetsTest, WithNoCopiesBothItemsAreChecked)
{
    run(coordinator.seedBundledModels(appSupport));
    EXPECT_EQ(diagnostics.whisperSetup(), item(kSettingUp, "Checking Whisper install"));
    EXPECT_EQ(diagnostics.gemmaSetup(), item(kSettingUp, "Checking Gemma install"));
    EXPECT_EQ(diagnostics.detail(), "Starting local services");
}

TEST(AppCoordinatorResources, TheBundleCopyWinsAndFilesArePassedOver)
{
    testing::TemporaryDirectory directory;
    const auto bundle = directory.path() / "bundle";
    const auto project = directory.path() / "project";
    testing::writeModelFolder(project / "models" / "whisper" / "openai_whisper-small");
    fs::create_directories(project / "models" / "ollama");
    EXPECT_EQ(AppCoordinator::bundledWhisperDirectory(bundle, project),
        project / "models" / "whisper" / "openai_whisper-small");
    EXPECT_EQ(AppCoordinator::bundledOllamaModelsDirectory(std::nullopt, project), project / "models" / "ollama");

    testing::writeModelFolder(bundle / "models" / "whisper" / "openai_whisper-small");
    testing::writeFile(bundle / "models" / "ollama", "a file, not a store");
    EXPECT_EQ(AppCoordinator::bundledWhisperDirectory(bundle, project),
        bundle / "models" / "whisper" / "openai_whisper-small");
    EXPECT_EQ(AppCoordinator::bundledOllamaModelsDirectory(bundle, project), project / "models" / "ollama");
    EXPECT_EQ(AppCoordinator::bundledOllamaModelsDirectory(bundle, std::nullopt), std::nullopt);

    EXPECT_EQ(AppCoordinator::firstExistingDirectory({std::nullopt, directory.path() / "missing", bundle / "models" / "ollama",
                  project, bundle}),
        project);
    EXPECT_EQ(AppCoordinator::firstExistingDirectory({}), std::nullopt);

    const char* testSources = std::getenv("HUSHNOTE_TEST_SOURCE_DIR");
    ASSERT_NE(testSources, nullptr);
    EXPECT_EQ(AppCoordinator::projectResourcesDirectory(), fs::path(testSources).parent_path() / "Resources");
}

} // namespace
} // namespace hushnote
