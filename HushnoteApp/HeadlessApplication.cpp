#include "HushnoteApp/HeadlessApplication.h"

#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/TextInserterError.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>

namespace hushnote {

namespace {

// No sound server is reached in headless mode.
class NoMicrophone final : public AudioRecorder {
public:
    asio::awaitable<void> start() override
    {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::failedToStart);
        co_return;
    }
    std::optional<WallTime> startedAt() const override { return std::nullopt; }
    std::filesystem::path stop() override
    {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::notRecording);
    }
};

// Without a display there is no focused application and no clipboard.
class NoDesktop final : public TextInsertion, public Clipboard {
public:
    void insert(const std::string&) override
    {
        throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
    }
    void setText(const std::string&) override
    {
        throw TextInserterError(TextInserterError::Kind::pasteboardWriteFailed);
    }
    ClipboardContents snapshot() override { return {}; }
    bool offerTranscript(const std::string&, std::function<void()>) override { return false; }
    void restore(const ClipboardContents&) override {}
    std::int64_t changeCount() override { return 0; }
    bool reportsReads() const override { return false; }
};

} // namespace

int runHeadless(const std::filesystem::path& appSupportDirectory, const std::filesystem::path& resourceDirectory)
{
    asio::io_context loop;
    SystemClock clock;
    UndeterminedPermissions permissions;
    const auto facts = SystemFacts::current(resourceDirectory);
    DiagnosticsStore diagnostics(permissions, facts);
    FlowMetricsStore metricsStore(appSupportDirectory / "metrics.json", 20);
    DiagnosticsLogger logger(appSupportDirectory / "logs", clock);
    FunctionKeyMonitor monitor;
    NoMicrophone microphone;
    NoDesktop desktop;
    AppCoordinator coordinator(loop.get_executor(),
        CoordinatorComponents{diagnostics, monitor, microphone, desktop, desktop, metricsStore, logger, clock});

    // Registered before anything announces the start, so an early SIGINT or SIGTERM quits
    // cleanly instead of killing the process.
    asio::signal_set signals(loop, SIGINT, SIGTERM);
    logger.record(DiagnosticsLogEvent::Level::info, "lifecycle", "Application started",
        {{"appVersion", facts.appVersion}, {"macOS", facts.macOSVersion},
            {"memoryBytes", std::to_string(facts.memory)}});
    coordinator.connectFunctionKeyMonitor();
    monitor.start();
    coordinator.refresh();

    signals.async_wait([&](const std::error_code& error, int signal) {
        if (!error) {
            logger.record(DiagnosticsLogEvent::Level::info, "lifecycle", "Application terminating",
                {{"signal", std::to_string(signal)}});
        }
        monitor.stop();
        loop.stop();
    });
    loop.run();
    return 0;
}

} // namespace hushnote
