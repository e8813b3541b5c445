#pragma once

#include "tests/Support/TestProcess.h"
#include "tests/Support/XvfbServer.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hushnote::testing {

// The display this test process runs its QApplication on (started by the suite's main()).
XvfbServer& testDisplay();

// Runs Qt's event loop until `condition` holds or `timeout` passes; true when it holds.
bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs a program to its end while Qt's event loop keeps running (this process may be the
// clipboard owner it talks to). Returns its exit code and output.
struct ProgramResult {
    int exitCode = -1;
    std::string output;
};
ProgramResult runSpinning(std::vector<std::string> argv, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A paste target window (tests/Tools/PasteTarget.cpp) or clipboard owner.
class PasteTarget {
public:
    explicit PasteTarget(std::vector<std::string> arguments = {});
    // Waits (spinning Qt) for a line for which `matches` holds.
    std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& matches,
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until the field shows exactly `text`.
    bool waitForText(const std::string& text);
    std::vector<std::string> lines;

private:
    TestProcess process_;
};

// The clipboard as another X11 client sees it, read with xclip.
std::optional<std::string> clipboardAs(const std::string& type);

} // namespace hushnote::testing
