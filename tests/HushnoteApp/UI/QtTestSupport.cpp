#include "tests/HushnoteApp/UI/QtTestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <sys/wait.h>

namespace hushnote::testing {

using namespace std::chrono_literals;

bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

ProgramResult runSpinning(std::vector<std::string> argv, std::chrono::milliseconds timeout)
{
    TestProcess process(TestProcess::Options{std::move(argv), {{"DISPLAY", testDisplay().displayName()}}, {}, true, false});
    ProgramResult result;
    std::vector<std::string> lines;
    std::optional<int> status;
    spinUntil(
        [&] {
            while (auto line = process.readLine(0ms)) {
                lines.push_back(*line);
            }
            status = process.waitForExit(0ms);
            return status.has_value();
        },
        timeout);
    while (auto line = process.readLine(1000ms)) {
        lines.push_back(*line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        result.output += (i > 0 ? "\n" : "") + lines[i];
    }
    if (status && WIFEXITED(*status)) {
        result.exitCode = WEXITSTATUS(*status);
    }
    return result;
}

namespace {

std::vector<std::string> pasteTargetArgv(std::vector<std::string> arguments)
{
    std::vector<std::string> argv{HUSHNOTE_PASTE_TARGET};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

} // namespace

PasteTarget::PasteTarget(std::vector<std::string> arguments)
    : process_(TestProcess::Options{pasteTargetArgv(std::move(arguments)),
          {{"DISPLAY", testDisplay().displayName()}, {"QT_QPA_PLATFORM", "xcb"}}, {}, true, false})
{
}

std::optional<std::string> PasteTarget::waitFor(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout)
{
    std::optional<std::string> found;
    spinUntil(
        [&] {
            while (auto line = process_.readLine(0ms)) {
                lines.push_back(*line);
                if (matches(*line)) {
                    found = *line;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

bool PasteTarget::waitForText(const std::string& text)
{
    return waitFor([&](const std::string& line) { return line == "text:" + text; }).has_value();
}

std::optional<std::string> clipboardAs(const std::string& type)
{
    const auto result = runSpinning({"xclip", "-o", "-selection", "clipboard", "-t", type});
    if (result.exitCode != 0) {
        return std::nullopt;
    }
    return result.output;
}

} // namespace hushnote::testing
