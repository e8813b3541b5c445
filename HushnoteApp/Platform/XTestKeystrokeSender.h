#pragma once

#include "HushnoteApp/Platform/KeystrokeSender.h"
#include "HushnoteApp/Platform/TerminalWindowClasses.h"

#include <memory>
#include <optional>
#include <string>

namespace hushnote {

// Sends Ctrl+V (Ctrl+Shift+V to terminals) through the X server's XTEST extension, with the
// key codes the live keymap gives for Control_L, Shift_L and v, so every layout works. Has its
// own display connection, opened on first use (retried while it cannot be opened). Main loop
// only.
class XTestKeystrokeSender final : public KeystrokeSender {
public:
    // `displayName` nullopt: $DISPLAY.
    XTestKeystrokeSender(TerminalWindowClasses terminals, std::optional<std::string> displayName = std::nullopt);
    ~XTestKeystrokeSender() override;

    bool canDeliver() override;
    void sendPaste() override;
    std::string explanation() override;

    // The WM_CLASS (instance, class) of the window that has the keyboard focus, looked up on
    // it or the nearest ancestor that has one; nullopt when none has.
    std::optional<std::pair<std::string, std::string>> focusedWindowClass();

private:
    struct Connection;
    Connection* connection();

    TerminalWindowClasses terminals_;
    std::optional<std::string> displayName_;
    std::unique_ptr<Connection> connection_;
};

} // namespace hushnote
