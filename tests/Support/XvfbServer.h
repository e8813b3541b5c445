#pragma once

#include "tests/Support/TestProcess.h"

#include <memory>
#include <string>

namespace hushnote::testing {

// A private virtual X server (Xvfb on a free display number), optionally with the openbox
// window manager so that windows get the keyboard focus, stopped on destruction. Also types
// keys: "physical" ones through the server's own keyboard device, as a real keyboard would,
// and "virtual" ones through the core XTEST device, as synthetic paste keystrokes are sent.
class XvfbServer {
public:
    // Throws std::runtime_error when the server does not come up.
    explicit XvfbServer(bool withWindowManager = false);
    ~XvfbServer();

    const std::string& displayName() const { return displayName_; }

    void pressPhysicalKey(int keycode);
    void releasePhysicalKey(int keycode);
    void sendVirtualKey(int keycode, bool press);

private:
    struct Typist;

    std::unique_ptr<TestProcess> server_;
    std::unique_ptr<TestProcess> windowManager_;
    std::string displayName_;
    std::unique_ptr<Typist> typist_;
};

} // namespace hushnote::testing
