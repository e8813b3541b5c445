#pragma once

#include <string>

namespace hushnote {

// Delivers the paste keystroke to the focused application (XTest on X11; a portal or a
// virtual keyboard elsewhere). Main loop only.
class KeystrokeSender {
public:
    virtual ~KeystrokeSender() = default;
    // True when a keystroke can be delivered now.
    virtual bool canDeliver() = 0;
    // Sends the paste shortcut the focused window expects: Ctrl+V, or Ctrl+Shift+V in a
    // terminal. Returns once the events are delivered to the display server. Throws
    // TextInserterError (eventCreationFailed) when they cannot be sent.
    virtual void sendPaste() = 0;
    // Why no keystroke can be delivered and how to change that, for the status line.
    virtual std::string explanation() = 0;
};

// Where no technology to deliver keystrokes exists in this session.
class NoKeystrokeSender final : public KeystrokeSender {
public:
    explicit NoKeystrokeSender(std::string explanation) : explanation_(std::move(explanation)) {}
    bool canDeliver() override { return false; }
    void sendPaste() override;
    std::string explanation() override { return explanation_; }

private:
    std::string explanation_;
};

} // namespace hushnote
