#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/TextInserterError.h"
#include "HushnoteCore/CleanupOrchestrator.h"
#include "HushnoteCore/ManagedOllamaCleanupProvider.h"
#include "HushnoteCore/WhisperTranscriberError.h"
#include "tests/Fakes/FakeClock.h"
#include "tests/Fakes/FakeOllamaProcess.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/TemporaryDirectory.h"

#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

namespace hushnote {
namespace {

using namespace std::chrono_literals;
using testing::FakeAudioRecorder;

struct LoggedEvent {
    std::string level;
    std::string category;
    std::string message;
    std::map<std::string, std::string> metadata;
};

// Everything one coordinator needs, with real logger, metrics store and status store.
class CoordinatorHarness {
public:
    CoordinatorHarness()
        : recorder(directory.path() / "tmp" / "Hushnote", clock)
        , diagnostics(permissions, SystemFacts{"1.0 (1)", "Debian", 1})
        , metricsStore(directory.path() / "metrics.json", 20)
        , logger(directory.path() / "logs", clock)
        , coordinator(loop.get_executor(),
              CoordinatorComponents{diagnostics, monitor, recorder, inserter, clipboard, metricsStore, logger, clock})
    {
        coordinator.setRecordingToastController(&overlay);
    }

    void run(asio::awaitable<void> operation)
    {
        asio::co_spawn(loop, std::move(operation), [](std::exception_ptr e) {
            if (e) {
                std::rethrow_exception(e);
            }
        });
        loop.run();
        loop.restart();
    }

    asio::awaitable<void> dictate(std::chrono::milliseconds hold)
    {
        co_await coordinator.handle(FunctionKeyEdge::pressed);
        clock.advance(hold);
        co_await coordinator.handle(FunctionKeyEdge::released);
    }

    void dictateFor(std::chrono::milliseconds hold) { run(dictate(hold)); }

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

    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const auto& event : events()) {
            out.push_back(event.message);
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

    bool anyAudioFileLeft() const
    {
        for (const auto& file : recorder.producedFiles) {
            if (std::filesystem::exists(file)) {
                return true;
            }
        }
        return false;
    }

    testing::TemporaryDirectory directory;
    testing::FakeClock clock;
    asio::io_context loop;
    testing::FakePermissions permissions;
    FunctionKeyMonitor monitor;
    FakeAudioRecorder recorder;
    testing::FakeTextInsertion inserter;
    testing::FakeClipboard clipboard;
    testing::FakeRecordingOverlay overlay;
    DiagnosticsStore diagnostics;
    FlowMetricsStore metricsStore;
    DiagnosticsLogger logger;
    AppCoordinator coordinator;
};

class CoordinatorFixture : public ::testing::Test, public CoordinatorHarness {};

TEST_F(CoordinatorFixture, CompletedDictationCleansPastesTimesAndLogsWithoutText)
{
    auto transcriber = std::make_shared<testing::FakeSpeechTranscriber>();
    transcriber->text = "secret marker words";
    auto cleaner = std::make_shared<testing::FakeTranscriptCleaner>();
    coordinator.setWhisperTranscriber(transcriber);
    coordinator.setCleanupOrchestrator(cleaner);

    dictateFor(500ms);

    ASSERT_EQ(inserter.inserted, std::vector<std::string>{"SECRET MARKER WORDS "});
    EXPECT_EQ(cleaner->receivedTexts, std::vector<std::string>{"secret marker words"});
    EXPECT_EQ(cleaner->receivedPrompts.at(0), CleanupPrompt::v3());
    EXPECT_EQ(diagnostics.lastTranscript(), "SECRET MARKER WORDS ");
    EXPECT_EQ(diagnostics.detail(), "Ready");
    EXPECT_FALSE(diagnostics.hasError());
    EXPECT_EQ(coordinator.state(), DictationState::idle);
    EXPECT_EQ(coordinator.activeDictationID(), std::nullopt);
    EXPECT_FALSE(monitor.isPressed());
    EXPECT_TRUE(transcriber->audioFileExisted);
    EXPECT_FALSE(anyAudioFileLeft());

    const std::vector<std::string> expected{"fn button pressed", "Recording while fn is held",
        "fn button released", "Finalizing 16 kHz mono audio", "Transcribing locally with Whisper",
        "VAD detector triggered", "VAD detector succeeded", "Speech model triggered", "Speech model succeeded",
        "Cleaning transcript locally", "Language model triggered", "Language model succeeded",
        "Pasting cleaned transcript", "Generated content pasted", "Ready", "Dictation completed"};
    EXPECT_EQ(messages(), expected);

    const auto all = events();
    const auto id = all.front().metadata.at("dictationID");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    for (const auto& event : all) {
        SCOPED_TRACE(event.message);
        EXPECT_EQ(event.metadata.at("dictationID"), id);
    }
    EXPECT_EQ(all.front().metadata.at("edge"), "pressed");
    EXPECT_EQ(all.front().metadata.at("state"), "idle");
    EXPECT_EQ(find("fn button released")->metadata.at("state"), "recording");
    EXPECT_EQ(find("Speech model triggered")->category, "dictation.speech-model");
    EXPECT_EQ(find("VAD detector succeeded")->category, "dictation.vad");
    EXPECT_EQ(find("Language model succeeded")->metadata.at("provider"), "fake-provider");
    EXPECT_EQ(find("Generated content pasted")->metadata.at("destination"), "focusedApplication");
    EXPECT_EQ(find("Pasting cleaned transcript")->metadata.at("state"), "inserting");

    // Overlay followed every stage and the five pipeline stages were timed once each.
    EXPECT_EQ(overlay.states,
        (std::vector<DictationState>{DictationState::recording, DictationState::finalizingAudio,
            DictationState::transcribing, DictationState::cleaning, DictationState::inserting,
            DictationState::idle}));
    const auto metrics = metricsStore.snapshot();
    for (const auto stage : {FlowStage::audioFinalization, FlowStage::whisperTranscription, FlowStage::cleanup,
             FlowStage::insertion, FlowStage::total}) {
        ASSERT_TRUE(metrics.summary(stage)) << toString(stage);
        EXPECT_EQ(metrics.summary(stage)->count, 1);
    }
    EXPECT_FALSE(metrics.summary(FlowStage::whisperModelLoad));
    EXPECT_FALSE(metrics.summary(FlowStage::cleanupModelLoad));
    EXPECT_EQ(diagnostics.metrics(), metrics);

    // Nothing the user said reaches the log, in any letter case.
    const auto log = testing::readFile(logger.activeLogURL());
    EXPECT_EQ(log.find("marker"), std::string::npos);
    EXPECT_EQ(log.find("MARKER"), std::string::npos);
    EXPECT_EQ(log.find("-whisper.wav"), std::string::npos);
}

TEST_F(CoordinatorFixture, ShortTapThresholdIsStrictlyBelowOneHundredFiftyMilliseconds)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    dictateFor(100ms);
    EXPECT_TRUE(inserter.inserted.empty());
    EXPECT_EQ(diagnostics.detail(), "Ignored a short fn tap");
    EXPECT_FALSE(diagnostics.hasError());
    EXPECT_EQ(coordinator.state(), DictationState::idle);
    EXPECT_FALSE(anyAudioFileLeft());
    EXPECT_EQ(messages(), (std::vector<std::string>{"fn button pressed", "Recording while fn is held",
                              "fn button released", "Ignored a short fn tap", "Short fn tap ignored"}));
    const auto all = events();
    for (const auto& event : all) {
        EXPECT_EQ(event.metadata.at("dictationID"), all.front().metadata.at("dictationID"));
    }
    EXPECT_EQ(find("Ignored a short fn tap")->metadata.at("state"), "idle");

    dictateFor(150ms);
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
    EXPECT_EQ(diagnostics.detail(), "Ready");
}



struct FailureCase {
    const char* name;
    std::function<void(CoordinatorHarness&)> arrange;
    std::string expectedDetail;
    std::string stateAtFailure;
    std::string errorType;
    bool producesAudioFile;
};

TEST(AppCoordinatorFailures, EveryStageFailureIsReportedClearedAndTheNextPressAccepted)
{
    const std::vector<FailureCase> cases{
        {"microphone refused",
            [](CoordinatorHarness& h) {
                h.recorder.startError = std::make_exception_ptr(
                    MicrophoneRecorderError(MicrophoneRecorderError::Kind::permissionDenied));
            },
            "Recording failed: Microphone permission is required", "recording",
            "HushnoteApp.MicrophoneRecorderError", false},
        {"empty recording",
            [](CoordinatorHarness& h) {
                h.recorder.stopError = std::make_exception_ptr(
                    MicrophoneRecorderError(MicrophoneRecorderError::Kind::emptyRecording));
            },
            "Audio finalization failed: Microphone recording did not contain any audio", "finalizingAudio",
            "HushnoteApp.MicrophoneRecorderError", false},
        {"no transcriber", [](CoordinatorHarness& h) { h.coordinator.setWhisperTranscriber(nullptr); },
            "Whisper transcription failed: Auralis is not linked. Rebuild with HUSHNOTE_ENABLE_AURALIS=1",
            "transcribing", "HushnoteCore.WhisperTranscriberError", true},
        {"transcriber error",
            [](CoordinatorHarness& h) {
                auto transcriber = std::make_shared<testing::FakeSpeechTranscriber>();
                transcriber->error = std::make_exception_ptr(WhisperTranscriberError::emptyTranscript());
                h.coordinator.setWhisperTranscriber(transcriber);
            },
            "Whisper transcription failed: Whisper returned an empty transcript", "transcribing",
            "HushnoteCore.WhisperTranscriberError", true},
        {"paste refused",
            [](CoordinatorHarness& h) {
                h.inserter.error = std::make_exception_ptr(
                    TextInserterError(TextInserterError::Kind::eventCreationFailed));
            },
            "Transcript insertion failed: Unable to synthesize Ctrl+V", "inserting",
            "HushnoteApp.TextInserterError", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CoordinatorHarness h;
        h.coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
        c.arrange(h);
        h.dictateFor(400ms);

        EXPECT_EQ(h.diagnostics.detail(), c.expectedDetail);
        EXPECT_TRUE(h.diagnostics.hasError());
        EXPECT_EQ(h.diagnostics.dictationState(), DictationState::idle);
        EXPECT_EQ(h.coordinator.activeDictationID(), std::nullopt);
        EXPECT_FALSE(h.monitor.isPressed());
        EXPECT_EQ(h.recorder.producedFiles.size(), c.producesAudioFile ? 1u : 0u);
        EXPECT_FALSE(h.anyAudioFileLeft());
        EXPECT_TRUE(h.inserter.inserted.empty());

        const auto failed = h.find("Operation failed");
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->level, "error");
        EXPECT_EQ(failed->category, "dictation");
        EXPECT_EQ(failed->metadata.at("state"), c.stateAtFailure);
        EXPECT_EQ(failed->metadata.at("errorType"), c.errorType);
        EXPECT_EQ(failed->metadata.at("errorDomain"), c.errorType);
        EXPECT_FALSE(failed->metadata.at("stackTrace").empty());
        EXPECT_EQ(failed->metadata.at("dictationID"), h.events().front().metadata.at("dictationID"));
        const auto published = h.find(c.expectedDetail);
        ASSERT_TRUE(published);
        EXPECT_EQ(published->metadata.at("state"), "failed");
        EXPECT_EQ(h.overlay.states.back(), DictationState::failed);

        // The machine is ready again: a clean dictation goes through and clears the error.
        h.recorder.startError = nullptr;
        h.recorder.stopError = nullptr;
        h.inserter.error = nullptr;
        h.coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
        h.dictateFor(400ms);
        EXPECT_EQ(h.inserter.inserted, std::vector<std::string>{"hello world "});
        EXPECT_FALSE(h.diagnostics.hasError());
    }
}

TEST_F(CoordinatorFixture, WithoutOrchestratorTheRawTranscriptIsPastedWithAFallbackWarning)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    dictateFor(300ms);
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
    const auto warning = find("Language model failed; using raw speech-model output");
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->level, "warning");
    EXPECT_EQ(warning->metadata.at("provider"), "raw-whisper");
    EXPECT_EQ(warning->metadata.at("providerFailureCount"), "0");
    EXPECT_TRUE(find("Pasting raw Whisper fallback"));
    for (const auto& event : events()) {
        EXPECT_NE(event.category, "dictation.cleanup");
    }
}

TEST_F(CoordinatorFixture, ProviderFailuresAndSnapshotsAreLoggedOnFallback)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    auto cleaner = std::make_shared<testing::FakeTranscriptCleaner>();
    CleanupProviderFailure failure;
    failure.provider = "ollama";
    failure.errorType = "HushnoteCore.CleanupGuardFailure";
    failure.errorDomain = "HushnoteCore.CleanupGuardFailure";
    failure.errorCode = 3;
    failure.stackTrace = "frame";
    cleaner->result = CleanupResult{"hello world", "raw-whisper", true,
        "No local cleanup provider returned a safe result", {failure, failure}};
    cleaner->snapshotList = {
        CleanupRuntimeSnapshot{"ollama", "http://127.0.0.1:20001", "gemma4:e2b", "0.1", CleanupRuntimeSnapshot::Status::failed, std::nullopt},
        CleanupRuntimeSnapshot{"managed", "http://127.0.0.1:20002", "gemma4:e2b", std::nullopt, CleanupRuntimeSnapshot::Status::ready, "Model is warm"}};
    coordinator.setCleanupOrchestrator(cleaner);
    dictateFor(300ms);

    int providerFailures = 0;
    std::vector<std::string> snapshotMessages;
    for (const auto& event : events()) {
        if (event.message == "Language model provider failed") {
            ++providerFailures;
            EXPECT_EQ(event.level, "error");
            EXPECT_EQ(event.metadata.at("errorCode"), "3");
            EXPECT_EQ(event.metadata.at("errorType"), "HushnoteCore.CleanupGuardFailure");
            EXPECT_TRUE(event.metadata.count("dictationID"));
        }
        if (event.category == "dictation.cleanup") {
            snapshotMessages.push_back(event.message);
            EXPECT_EQ(event.metadata.count("dictationID"), 0u);
            EXPECT_EQ(event.metadata.at("model"), "gemma4:e2b");
        }
    }
    EXPECT_EQ(providerFailures, 2);
    EXPECT_EQ(snapshotMessages, (std::vector<std::string>{"Cleanup provider is failed", "Model is warm"}));
    EXPECT_EQ(find("Language model failed; using raw speech-model output")->metadata.at("providerFailureCount"), "2");
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
}

asio::awaitable<void> pressAndReleaseDuring(AppCoordinator& coordinator, testing::FakeClock& clock)
{
    co_await sleepFor(20ms);
    co_await coordinator.handle(FunctionKeyEdge::pressed);
    clock.advance(300ms);
    co_await coordinator.handle(FunctionKeyEdge::released);
}

TEST_F(CoordinatorFixture, PressDuringTranscriptionIsRefusedAgainstTheRunningDictation)
{
    auto transcriber = std::make_shared<testing::FakeSpeechTranscriber>();
    transcriber->delay = 200ms;
    coordinator.setWhisperTranscriber(transcriber);
    asio::co_spawn(loop, dictate(300ms), asio::detached);
    asio::co_spawn(loop, pressAndReleaseDuring(coordinator, clock), asio::detached);
    loop.run();

    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
    const auto all = events();
    const auto id = all.front().metadata.at("dictationID");
    const auto busy = find("fn press ignored because dictation is busy");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->level, "warning");
    EXPECT_EQ(busy->metadata.at("dictationID"), id);
    int releases = 0;
    for (const auto& event : all) {
        releases += event.message == "fn button released";
    }
    EXPECT_EQ(releases, 2);
    EXPECT_EQ(recorder.producedFiles.size(), 1u);
}

TEST_F(CoordinatorFixture, StrayReleaseWhileIdleIsLoggedWithoutDictationID)
{
    run(coordinator.handle(FunctionKeyEdge::released));
    const auto all = events();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].message, "fn button released");
    EXPECT_EQ(all[0].metadata.count("dictationID"), 0u);
    EXPECT_EQ(all[0].metadata.at("state"), "idle");
    EXPECT_EQ(recorder.stopCount, 0);
}

TEST_F(CoordinatorFixture, FocusedScratchpadReceivesTheTextInsteadOfTheInserter)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    diagnostics.setDictationScratchpadFocused(true);
    dictateFor(300ms);
    dictateFor(300ms);
    EXPECT_TRUE(inserter.inserted.empty());
    EXPECT_EQ(diagnostics.dictationScratchpad(), "hello world  hello world ");
    EXPECT_EQ(diagnostics.dictationScratchpadAppendRevision(), 2);
    const auto inserted = find("Generated content inserted into practice scratchpad");
    ASSERT_TRUE(inserted);
    EXPECT_EQ(inserted->metadata.at("destination"), "practiceScratchpad");
}

TEST_F(CoordinatorFixture, ExactlyOneTrailingSpaceIsEnsured)
{
    auto transcriber = std::make_shared<testing::FakeSpeechTranscriber>();
    coordinator.setWhisperTranscriber(transcriber);
    const std::vector<std::pair<std::string, std::string>> table{
        {"done.", "done. "}, {"done. ", "done. "}, {"two  ", "two  "}, {"tab\t", "tab\t "}};
    for (const auto& [text, expected] : table) {
        transcriber->text = text;
        dictateFor(300ms);
        EXPECT_EQ(inserter.inserted.back(), expected);
    }
}

TEST_F(CoordinatorFixture, RecordingThatStartsAfterItsDictationEndedIsDiscarded)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    recorder.startDelay = 100ms;
    asio::co_spawn(loop, coordinator.handle(FunctionKeyEdge::pressed), asio::detached);
    asio::co_spawn(loop,
        [](AppCoordinator& c) -> asio::awaitable<void> {
            co_await sleepFor(10ms);
            co_await c.handle(FunctionKeyEdge::released);
        }(coordinator),
        asio::detached);
    loop.run();
    loop.restart();

    EXPECT_EQ(diagnostics.detail(), "Recording finalization failed: Microphone recording is not active");
    // The late recording was stopped and thrown away, so the recorder is free again.
    EXPECT_EQ(recorder.stopCount, 1);
    EXPECT_FALSE(recorder.startedAt());
    EXPECT_FALSE(anyAudioFileLeft());
    EXPECT_TRUE(find("Discarded a recording that started after its dictation ended"));

    recorder.startDelay = 0ms;
    dictateFor(300ms);
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
}

TEST_F(CoordinatorFixture, CopyLastTranscriptOnlyActsWhenThereIsOne)
{
    coordinator.copyLastTranscript();
    EXPECT_TRUE(clipboard.contents.empty());
    EXPECT_FALSE(std::filesystem::exists(logger.activeLogURL()) && !events().empty());

    diagnostics.setLastTranscript("last words ");
    coordinator.copyLastTranscript();
    EXPECT_EQ(clipboard.contents, std::vector<std::string>{"last words "});
    const auto copied = find("Generated content copied to clipboard");
    ASSERT_TRUE(copied);
    EXPECT_TRUE(copied->metadata.empty());
}

TEST_F(CoordinatorFixture, RefreshPublishesPermissionsMetricsAndProviders)
{
    auto cleaner = std::make_shared<testing::FakeTranscriptCleaner>();
    cleaner->snapshotList = {CleanupRuntimeSnapshot{"ollama", "http://127.0.0.1:1", "gemma4:e2b",
        std::nullopt, CleanupRuntimeSnapshot::Status::ready, std::nullopt}};
    coordinator.setCleanupOrchestrator(cleaner);
    permissions.launchAtLogin = true;
    permissions.microphone = PermissionState::denied;
    metricsStore.record(42, FlowStage::total);
    coordinator.refresh();
    loop.run();
    EXPECT_TRUE(diagnostics.launchAtLogin());
    EXPECT_EQ(diagnostics.microphone(), PermissionState::denied);
    EXPECT_EQ(diagnostics.metrics().summary(FlowStage::total)->latestMilliseconds, 42);
    EXPECT_EQ(diagnostics.cleanupProviders(), cleaner->snapshotList);
}

TEST_F(CoordinatorFixture, MonitorEdgesDriveDictationsUntilTheCoordinatorIsGone)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    coordinator.connectFunctionKeyMonitor();
    monitor.observe(true);
    loop.run();
    loop.restart();
    clock.advance(300ms);
    monitor.observe(true);
    monitor.observe(false);
    loop.run();
    loop.restart();
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
}

// The real clean-up road: orchestrator, managed provider and server, and the fake Ollama
// program started as a child process, all off the coordinator's loop.
class CoordinatorWithLocalCleanup : public CoordinatorFixture {
protected:
    CoordinatorWithLocalCleanup()
    {
        auto server = std::make_shared<ManagedOllamaServer>(pool.get_executor(),
            ManagedOllamaConfiguration(testing::fakeOllamaExecutable(), models, std::nullopt, testing::freeLoopbackPort()),
            session);
        auto provider = std::make_shared<ManagedOllamaCleanupProvider>(pool.get_executor(), server, "gemma4:e2b");
        coordinator.setCleanupOrchestrator(std::make_shared<CleanupOrchestrator>(
            pool.get_executor(), std::vector<std::shared_ptr<CleanupProvider>>{provider}, CleanupGuard(1.75, 0.35, 0.7)));
        transcriber->text = "secret marker words";
        coordinator.setWhisperTranscriber(transcriber);
    }
    // The orchestrator's strands live on the pool, which goes first.
    ~CoordinatorWithLocalCleanup() override { coordinator.setCleanupOrchestrator(nullptr); }

    int count(const std::string& message)
    {
        const auto all = messages();
        return static_cast<int>(std::count(all.begin(), all.end(), message));
    }

    void expectNoTranscriptInLogs()
    {
        const auto log = testing::readFile(logger.activeLogURL());
        EXPECT_EQ(log.find("marker"), std::string::npos);
        EXPECT_EQ(log.find("Marker"), std::string::npos);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(directory.path())) {
            if (entry.is_regular_file() && entry.path().parent_path() != models) {
                EXPECT_EQ(testing::readFile(entry.path()).find("marker"), std::string::npos) << entry.path();
            }
        }
    }

    asio::thread_pool pool{2};
    std::shared_ptr<LoopbackHttpSession> session = std::make_shared<LoopbackHttpSession>();
    std::filesystem::path models = directory.path() / "models" / "ollama";
    testing::FakeOllamaRecords records{models};
    std::shared_ptr<testing::FakeSpeechTranscriber> transcriber = std::make_shared<testing::FakeSpeechTranscriber>();
};

TEST_F(CoordinatorWithLocalCleanup, DictationIsCleanedByTheLocalModel)
{
    dictateFor(400ms);
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"Secret marker words. "});
    const auto succeeded = find("Language model succeeded");
    ASSERT_TRUE(succeeded);
    EXPECT_EQ(succeeded->metadata.at("provider"), "managed-ollama");
    EXPECT_EQ(count("Language model provider failed"), 0);
    EXPECT_EQ(records.requestsTo("/api/chat").size(), 1u);
    expectNoTranscriptInLogs();
}

TEST_F(CoordinatorWithLocalCleanup, MisbehavingServerFallsBackToTheNormalisedTranscript)
{
    transcriber->text = "secret marker words. Scratch that. Secret marker   words";
    records.control({{"routes", {{"api/chat", {{"status", 500}, {"body", "secret marker words"}}}}}});
    dictateFor(400ms);
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"Secret marker words "});

    records.control({{"chatContent", "Here is your cleaned text: secret marker words, as requested by you today."}});
    dictateFor(400ms);
    EXPECT_EQ(inserter.inserted, (std::vector<std::string>{"Secret marker words ", "Secret marker words "}));

    EXPECT_EQ(count("Language model failed; using raw speech-model output"), 2);
    EXPECT_EQ(count("Language model provider failed"), 2);
    std::vector<std::string> types;
    for (const auto& event : events()) {
        if (event.message == "Language model provider failed") {
            EXPECT_EQ(event.metadata.at("provider"), "managed-ollama");
            EXPECT_FALSE(event.metadata.at("stackTrace").empty());
            types.push_back(event.metadata.at("errorType") + " " + event.metadata.at("errorCode"));
        }
    }
    EXPECT_EQ(types, (std::vector<std::string>{"HushnoteCore.OllamaClientError 0", "HushnoteCore.CleanupGuardFailure 2"}));
    EXPECT_EQ(find("Language model failed; using raw speech-model output")->metadata.at("providerFailureCount"), "1");
    expectNoTranscriptInLogs();
}

TEST_F(CoordinatorFixture, AHoldWithAnotherKeyPressedIsAKeyCombinationNotADictation)
{
    coordinator.setWhisperTranscriber(std::make_shared<testing::FakeSpeechTranscriber>());
    coordinator.connectFunctionKeyMonitor();
    monitor.observe(true);
    loop.run();
    loop.restart();
    clock.advance(500ms);
    monitor.observeOtherKeyPress(); // Right Ctrl+C
    monitor.observe(false);
    loop.run();
    loop.restart();
    EXPECT_TRUE(inserter.inserted.empty());
    EXPECT_EQ(diagnostics.detail(), "Ignored a key combination");
    EXPECT_FALSE(diagnostics.hasError());
    EXPECT_EQ(coordinator.state(), DictationState::idle);
    EXPECT_FALSE(anyAudioFileLeft());
    ASSERT_TRUE(find("fn key combination ignored"));
    EXPECT_EQ(find("fn key combination ignored")->category, "input.fn");

    // The next plain hold dictates again.
    monitor.observe(true);
    loop.run();
    loop.restart();
    clock.advance(500ms);
    monitor.observe(false);
    loop.run();
    loop.restart();
    EXPECT_EQ(inserter.inserted, std::vector<std::string>{"hello world "});
}

struct PermissionActionsHarness : CoordinatorHarness {
    PermissionActionsHarness()
    {
        coordinator.setPermissionServices(PermissionServices{permissions, launchAtLogin, workspace, "Right Ctrl",
            "file:///help/paste.html", "file:///help/microphone.html", "com.hushnote.app", "/usr/bin/hushnote"});
    }
    void drain()
    {
        loop.run();
        loop.restart();
    }

    testing::TemporaryDirectory autostart;
    LaunchAtLoginController launchAtLogin{autostart.path() / "autostart", "/usr/bin/hushnote"};
    testing::FakeWorkspace workspace;
};

class PermissionActionsFixture : public ::testing::Test, public PermissionActionsHarness {};

TEST_F(PermissionActionsFixture, MicrophoneRequestReportsTheOutcomeAndOpensHelpWhenRefused)
{
    permissions.microphone = PermissionState::notDetermined;
    coordinator.requestMicrophone();
    drain();
    EXPECT_EQ(diagnostics.detail(), "Microphone access granted - hold Right Ctrl to dictate");
    EXPECT_FALSE(diagnostics.hasError());
    EXPECT_EQ(diagnostics.microphone(), PermissionState::authorized);
    EXPECT_TRUE(workspace.opened.empty());
    EXPECT_EQ(find("Requesting microphone access")->metadata.at("initialState"), "notDetermined");
    const auto completed = find("Microphone permission request completed");
    ASSERT_TRUE(completed);
    EXPECT_EQ(completed->metadata, (std::map<std::string, std::string>{
                                       {"initialState", "notDetermined"}, {"finalState", "authorized"}, {"granted", "true"}}));
    const auto snapshot = find("Permission snapshot");
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->category, "permissions.microphone");
    EXPECT_EQ(snapshot->metadata.at("bundleIdentifier"), "com.hushnote.app");
    EXPECT_EQ(snapshot->metadata.at("bundlePath"), "/usr/bin/hushnote");

    permissions.microphoneGrant = false;
    coordinator.requestMicrophone();
    drain();
    EXPECT_EQ(diagnostics.detail().rfind("Microphone access is required", 0), 0u) << diagnostics.detail();
    EXPECT_TRUE(diagnostics.hasError());
    EXPECT_EQ(diagnostics.microphone(), PermissionState::denied);
    EXPECT_EQ(workspace.opened, std::vector<std::string>{"file:///help/microphone.html"});
}

TEST_F(PermissionActionsFixture, AccessibilityRequestExplainsWhatStopsThePasteAndOpensHelp)
{
    permissions.accessibilityTrusted = false;
    coordinator.requestAccessibility();
    drain();
    EXPECT_EQ(diagnostics.detail(), "Fake desktop cannot paste");
    EXPECT_EQ(workspace.opened, std::vector<std::string>{"file:///help/paste.html"});
    EXPECT_EQ(find("Accessibility permission request completed")->metadata,
        (std::map<std::string, std::string>{{"initialState", "denied"}, {"finalState", "denied"}, {"granted", "false"}}));

    permissions.accessibilityAfterRequest = true;
    coordinator.requestAccessibility();
    drain();
    EXPECT_EQ(diagnostics.detail(), "Accessibility access granted");
    EXPECT_EQ(diagnostics.accessibility(), PermissionState::authorized);
    EXPECT_EQ(workspace.opened.size(), 1u);
}

TEST_F(PermissionActionsFixture, LaunchAtLoginIsEnabledToggledAndItsFailuresShown)
{
    coordinator.enableLaunchAtLogin();
    EXPECT_TRUE(diagnostics.launchAtLogin());
    EXPECT_TRUE(std::filesystem::exists(launchAtLogin.entryFile()));
    coordinator.toggleLaunchAtLogin();
    EXPECT_FALSE(diagnostics.launchAtLogin());
    EXPECT_FALSE(std::filesystem::exists(launchAtLogin.entryFile()));

    std::filesystem::remove_all(autostart.path() / "autostart");
    testing::writeFile(autostart.path() / "autostart", "not a folder");
    coordinator.enableLaunchAtLogin();
    EXPECT_TRUE(diagnostics.hasError());
    EXPECT_EQ(diagnostics.detail().rfind("Launch at login setup failed", 0), 0u) << diagnostics.detail();
    const auto failure = find("Operation failed");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->category, "setup.launch-at-login");
    EXPECT_EQ(failure->level, "error");
    coordinator.toggleLaunchAtLogin();
    EXPECT_EQ(diagnostics.detail().rfind("Launch at login update failed", 0), 0u) << diagnostics.detail();
}

} // namespace
} // namespace hushnote
