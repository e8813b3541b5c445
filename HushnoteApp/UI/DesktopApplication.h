#pragma once

#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/TranscriptionTypes.h"

#include <filesystem>
#include <memory>

namespace hushnote {
class AppCoordinator;
class DiagnosticsLogger;
class DiagnosticsStore;
class MicrophoneRecorder;
class TextInserter;
} // namespace hushnote

namespace hushnote::ui {

struct DesktopOptions {
    std::filesystem::path appSupportDirectory;
    std::filesystem::path resourceDirectory;
    // Stand in for the speech engine and the clean-up runtime where given.
    std::shared_ptr<SpeechTranscriber> transcriber;
    std::shared_ptr<TranscriptCleaner> cleaner;
};

// The composition root of the desktop application: the Qt GUI thread as main loop, the status
// store, metrics, logger, key monitor with the session's key sources, microphone, clipboard
// and paste keystroke, permissions, login item and the coordinator that drives them. Created
// on the GUI thread after the QApplication; start-up runs in the constructor, and SIGINT or
// SIGTERM quit the Qt event loop.
class DesktopApplication {
public:
    explicit DesktopApplication(DesktopOptions options);
    ~DesktopApplication();

    DesktopApplication(const DesktopApplication&) = delete;
    DesktopApplication& operator=(const DesktopApplication&) = delete;

    AppCoordinator& coordinator();
    DiagnosticsStore& diagnostics();
    DiagnosticsLogger& logger();
    TextInserter& textInserter();
    MicrophoneRecorder& microphoneRecorder();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Runs the desktop application until it quits; returns the exit status.
int runDesktopApplication(int argc, char** argv);

} // namespace hushnote::ui
