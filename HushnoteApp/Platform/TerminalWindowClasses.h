#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hushnote {

// Window classes of terminal emulators, which paste with Ctrl+Shift+V (Ctrl+V sends a
// literal ^V to the shell). Names match whole and case-insensitively, against either part of
// an X11 WM_CLASS (instance or class).
class TerminalWindowClasses {
public:
    explicit TerminalWindowClasses(std::vector<std::string> names);
    // The built-in list plus the names in HUSHNOTE_TERMINAL_CLASSES (separated by commas,
    // colons or white space).
    static TerminalWindowClasses fromEnvironment();
    static const std::vector<std::string>& builtIn();
    // Splits a list as HUSHNOTE_TERMINAL_CLASSES writes it.
    static std::vector<std::string> parseList(std::string_view list);

    bool isTerminal(std::string_view instanceName, std::string_view className) const;

private:
    std::vector<std::string> names_;
};

} // namespace hushnote
