#include "HushnoteApp/UI/DesktopApplication.h"

#include "Foundation/MainLoop.h"
#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/DictationKey.h"
#include "HushnoteApp/LaunchAtLoginController.h"
#include "HushnoteApp/MicrophoneRecorder.h"
#include "HushnoteApp/Platform/DesktopPermissions.h"
#include "HushnoteApp/Platform/PulseAudioCaptureSource.h"
#include "HushnoteApp/Platform/TerminalWindowClasses.h"
#include "HushnoteApp/Platform/XInput2KeySource.h"
#include "HushnoteApp/Platform/XTestKeystrokeSender.h"
#include "HushnoteApp/Platform/XdgWorkspace.h"
#include "HushnoteApp/TextInserter.h"
#include "HushnoteApp/UI/QtClipboard.h"
#include "HushnoteApp/UI/QtLoopBackend.h"

#include <QApplication>
#include <QGuiApplication>
#include <QUrl>

#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>

#include <csignal>
#include <cstdlib>
#include <string_view>

namespace hushnote::ui {

using Level = DiagnosticsLogEvent::Level;

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// XInput 2 and XTest only reach X11 clients; under Wayland they would see and type into
// XWayland windows alone.
bool isWaylandSession()
{
    const auto type = environment("XDG_SESSION_TYPE");
    if (!type.empty()) {
        return type == "wayland";
    }
    return !environment("WAYLAND_DISPLAY").empty();
}

std::string helpURL(const std::filesystem::path& resources, const char* page)
{
    return QUrl::fromLocalFile(QString::fromStdString((resources / "help" / page).string()))
        .toString(QUrl::FullyEncoded)
        .toStdString();
}

std::unique_ptr<KeystrokeSender> keystrokeSenderForSession()
{
    if (isWaylandSession()) {
        return std::make_unique<NoKeystrokeSender>(
            "On Wayland, Hushnote cannot send Ctrl+V yet: the text stays on the clipboard, paste it with Ctrl+V");
    }
    return std::make_unique<XTestKeystrokeSender>(TerminalWindowClasses::fromEnvironment());
}

} // namespace

struct DesktopApplication::Parts {
    explicit Parts(DesktopOptions options)
        : options(std::move(options))
        , facts(SystemFacts::current(this->options.resourceDirectory))
        , diagnostics(permissions, facts)
        , metricsStore(this->options.appSupportDirectory / "metrics.json", 20)
        , logger(this->options.appSupportDirectory / "logs", clock)
        , recorder(mainLoop, permissions, microphoneSource, MicrophoneRecorder::defaultDirectory(), clock)
        , inserter(mainLoop, clipboard, *keystrokes)
        , coordinator(mainLoop,
              CoordinatorComponents{
                  diagnostics, monitor, recorder, inserter, clipboard, metricsStore, logger, clock})
        , signals(mainLoop, SIGINT, SIGTERM)
    {
    }

    void start();
    void watchDictationKey();
    void awaitTermination();
    asio::awaitable<void> checkMicrophone();
    asio::awaitable<void> enableLaunchAtLoginSoon();

    DesktopOptions options;
    QtLoopBackend backend;
    MainLoopContext context{backend};
    Executor mainLoop{context.get_executor()};
    asio::thread_pool blocking{2};
    SystemClock clock;
    std::optional<std::string> invalidKeyName;
    DictationKey key = dictationKeyFromEnvironment(&invalidKeyName);
    std::unique_ptr<KeystrokeSender> keystrokes = keystrokeSenderForSession();
    PulseAudioCaptureSource microphoneSource;
    LaunchAtLoginController launchAtLogin = LaunchAtLoginController::forCurrentUser();
    DesktopPermissions permissions{blocking.get_executor(), *keystrokes, microphoneSource, launchAtLogin};
    XdgWorkspace workspace;
    SystemFacts facts;
    DiagnosticsStore diagnostics;
    FlowMetricsStore metricsStore;
    DiagnosticsLogger logger;
    FunctionKeyMonitor monitor;
    MicrophoneRecorder recorder;
    QtClipboard clipboard;
    TextInserter inserter;
    AppCoordinator coordinator;
    asio::signal_set signals;
    QObject context_object;
};

void DesktopApplication::Parts::start()
{
    diagnostics.setMetrics(metricsStore.snapshot());
    logger.record(Level::info, "lifecycle", "Application started",
        {{"appVersion", facts.appVersion}, {"macOS", facts.macOSVersion}, {"memoryBytes", std::to_string(facts.memory)}});
    const auto leftovers = MicrophoneRecorder::deleteLeftoverRecordings(MicrophoneRecorder::defaultDirectory());
    if (!leftovers.empty()) {
        logger.record(Level::info, "lifecycle", "Deleted recordings left by an earlier run",
            {{"count", std::to_string(leftovers.size())}});
    }

    if (options.transcriber) {
        coordinator.setWhisperTranscriber(options.transcriber);
    }
    if (options.cleaner) {
        coordinator.setCleanupOrchestrator(options.cleaner);
    }
    const auto info = readInfoDictionary(options.resourceDirectory / "Info.json");
    const auto identifier = info.find("CFBundleIdentifier");
    coordinator.setPermissionServices(PermissionServices{permissions, launchAtLogin, workspace, key.displayName(),
        helpURL(options.resourceDirectory, "paste-keystroke.html"), helpURL(options.resourceDirectory, "microphone.html"),
        identifier != info.end() ? identifier->second : "unknown", launchAtLogin.executable().string()});

    watchDictationKey();
    // A stream that ends by itself (microphone unplugged) ends the dictation as a release would.
    recorder.onCaptureEnded = [this] {
        logger.record(Level::warning, "input.microphone", "Microphone stream ended during recording", {});
        monitor.observe(false);
    };

    diagnostics.refreshPermissions(false);
    coordinator.logPermissionSnapshot("lifecycle.permissions");
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &context_object, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) {
            coordinator.refresh();
            coordinator.logPermissionSnapshot("permissions.activation");
        }
    });
    // At the first check of the sound server, so the status shows the microphone's real state.
    spawn(mainLoop, checkMicrophone(), [](std::exception_ptr) {});
    spawn(mainLoop, enableLaunchAtLoginSoon(), [](std::exception_ptr) {});
    awaitTermination();
    coordinator.refresh();
}

asio::awaitable<void> DesktopApplication::Parts::checkMicrophone()
{
    co_await permissions.requestMicrophone();
    diagnostics.refreshPermissions(false);
}

asio::awaitable<void> DesktopApplication::Parts::enableLaunchAtLoginSoon()
{
    // A wait that ends early still enables it.
    try {
        co_await sleepFor(std::chrono::seconds(1));
    } catch (...) {
    }
    coordinator.enableLaunchAtLogin();
}

void DesktopApplication::Parts::watchDictationKey()
{
    if (invalidKeyName) {
        logger.record(Level::warning, "input.fn", "Unknown dictation key; using Right Ctrl", {{"configuredKey", *invalidKeyName}});
    }
    monitor.onSourceFailure = [this](std::exception_ptr error) {
        logger.error("input.fn", error, "Dictation key source unavailable", {{"key", key.evdevName}});
    };
    if (isWaylandSession()) {
        logger.record(Level::warning, "input.fn", "No dictation key source for this Wayland session", {});
    } else if (const auto keycode = key.x11Keycode()) {
        monitor.addSource(std::make_unique<XInput2KeySource>(mainLoop, *keycode));
    } else {
        logger.record(Level::warning, "input.fn", "Dictation key cannot be seen through X11", {{"key", key.evdevName}});
    }
    coordinator.connectFunctionKeyMonitor();
    monitor.start();
    logger.record(Level::info, "input.fn", "Dictation key monitor started", {{"key", key.evdevName}});
}

void DesktopApplication::Parts::awaitTermination()
{
    signals.async_wait([this](const std::error_code& error, int signal) {
        if (error) {
            return;
        }
        logger.record(Level::info, "lifecycle", "Application terminating", {{"signal", std::to_string(signal)}});
        QCoreApplication::quit();
    });
}

DesktopApplication::DesktopApplication(DesktopOptions options) : parts_(std::make_unique<Parts>(std::move(options)))
{
    parts_->start();
}

DesktopApplication::~DesktopApplication()
{
    parts_->monitor.stop();
    // Quitting must not leave the dictation on the clipboard.
    parts_->inserter.restoreNow();
    std::error_code ignored;
    parts_->signals.cancel(ignored);
    parts_->blocking.join();
    // Queued work refers to the parts: drop it while they still exist.
    parts_->backend.close();
    parts_.reset();
}

AppCoordinator& DesktopApplication::coordinator()
{
    return parts_->coordinator;
}

DiagnosticsStore& DesktopApplication::diagnostics()
{
    return parts_->diagnostics;
}

DiagnosticsLogger& DesktopApplication::logger()
{
    return parts_->logger;
}

TextInserter& DesktopApplication::textInserter()
{
    return parts_->inserter;
}

MicrophoneRecorder& DesktopApplication::microphoneRecorder()
{
    return parts_->recorder;
}

int runDesktopApplication(int argc, char** argv)
{
    // Window placement, the overlay and clipboard writes from a background application only
    // work on X11 (XWayland under Wayland).
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    QApplication::setApplicationName("Hushnote");
    QApplication::setQuitOnLastWindowClosed(false);
    DesktopApplication desktop(
        DesktopOptions{ApplicationPaths::appSupportDirectory(), ApplicationPaths::resourceDirectory(), {}, {}});
    return QApplication::exec();
}

} // namespace hushnote::ui
