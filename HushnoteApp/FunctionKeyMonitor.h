#pragma once

#include "HushnoteCore/DictationState.h"

#include <exception>
#include <functional>
#include <memory>
#include <vector>

namespace hushnote {

// What a key source reports. Both callbacks must be invoked on the main loop.
struct KeyReports {
    // The dictation key's state as the source observed it (repeats allowed).
    std::function<void(bool isPressed)> dictationKey;
    // Another key went down; sources that cannot see other keys never call it.
    std::function<void()> otherKeyPressed;
};

// Reports the dictation key's raw up/down state from one input technology (X11, a portal,
// evdev, the toggle command).
class KeySource {
public:
    virtual ~KeySource() = default;
    // (Re)starts observing; a source started twice observes once. Throws when the source's
    // facility is unavailable.
    virtual void start(KeyReports reports) = 0;
    // Stops observing; no report arrives after it returns. Harmless when stopped.
    virtual void stop() = 0;
};

// Feeds every key source into one edge tracker and reports single pressed/released edges.
// Main loop only.
class FunctionKeyMonitor {
public:
    std::function<void(FunctionKeyEdge)> onEdge;
    // Receives the exception of a source that could not start; the other sources still run.
    std::function<void(std::exception_ptr)> onSourceFailure;

    void addSource(std::unique_ptr<KeySource> source);
    // Stops and restarts every source, so each observes exactly once.
    void start();
    void stop();

    // One observation of the key's state, from any source.
    void observe(bool isPressed);
    // Another key went down. During a hold it turns the hold into a key combination
    // (Right Ctrl+C), which must not dictate.
    void observeOtherKeyPress();

    // Forgets a held key, so the next "down" is a fresh press.
    void resetEdgeTracker() { tracker_.isPressed = false; }
    bool isPressed() const { return tracker_.isPressed; }
    // Whether another key went down during the current (or the just released) hold.
    bool holdIsKeyCombination() const { return holdIsKeyCombination_; }

private:
    KeyReports reports();
    void startSource(KeySource& source);

    FunctionKeyEdgeTracker tracker_;
    bool holdIsKeyCombination_ = false;
    std::vector<std::unique_ptr<KeySource>> sources_;
    bool started_ = false;
};

} // namespace hushnote
