#pragma once

#include "HushnoteCore/DictationState.h"

#include <functional>
#include <memory>
#include <vector>

namespace hushnote {

// Reports the dictation key's raw up/down state from one input technology (X11, a portal,
// evdev, the toggle command). Callbacks must arrive on the main loop.
class KeySource {
public:
    virtual ~KeySource() = default;
    virtual void start(std::function<void(bool isPressed)> report) = 0;
    virtual void stop() = 0;
};

// Feeds every key source into one edge tracker and reports single pressed/released edges.
// Main loop only.
class FunctionKeyMonitor {
public:
    std::function<void(FunctionKeyEdge)> onEdge;

    void addSource(std::unique_ptr<KeySource> source);
    // Starts every source once; calling it again is harmless.
    void start();
    void stop();

    // One observation of the key's state, from any source.
    void observe(bool isPressed);

    // Forgets a held key, so the next "down" is a fresh press.
    void resetEdgeTracker() { tracker_.isPressed = false; }
    bool isPressed() const { return tracker_.isPressed; }

private:
    FunctionKeyEdgeTracker tracker_;
    std::vector<std::unique_ptr<KeySource>> sources_;
    bool started_ = false;
};

} // namespace hushnote
