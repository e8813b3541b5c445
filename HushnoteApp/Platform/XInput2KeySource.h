#pragma once

#include "Foundation/Async.h"
#include "HushnoteApp/FunctionKeyMonitor.h"

#include <memory>
#include <optional>
#include <string>

namespace hushnote {

// Observes the keyboard of an X11 session through XInput 2 raw key events on the root window
// (no grab, no permission needed). Events of the XTEST virtual keyboards are ignored, so our
// own synthetic Ctrl+V and other programs' simulated typing never count. Auto-repeat is
// dropped. A thread of its own reads the display connection and posts every report to the
// main loop executor; start() and stop() run on the main loop.
class XInput2KeySource final : public KeySource {
public:
    // `x11Keycode` is the dictation key (DictationKey::x11Keycode()); `displayName` nullopt
    // means $DISPLAY.
    XInput2KeySource(Executor mainLoop, int x11Keycode, std::optional<std::string> displayName = std::nullopt);
    ~XInput2KeySource() override;

    XInput2KeySource(const XInput2KeySource&) = delete;
    XInput2KeySource& operator=(const XInput2KeySource&) = delete;

    // Throws KeySourceError when the display cannot be opened, lacks XInput 2.1, or the key
    // code is out of X11's range.
    void start(KeyReports reports) override;
    void stop() override;

    bool isRunning() const;

private:
    struct Listener;

    Executor mainLoop_;
    int keycode_;
    std::optional<std::string> displayName_;
    std::unique_ptr<Listener> listener_;
};

} // namespace hushnote
