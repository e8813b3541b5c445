#include "HushnoteApp/Platform/TerminalWindowClasses.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

TEST(TerminalWindowClasses, WholeNamesOfEitherPartMatchInAnyCase)
{
    ::setenv("HUSHNOTE_TERMINAL_CLASSES", "MyTerm, retro-shell:zz", 1);
    const auto classes = TerminalWindowClasses::fromEnvironment();
    ::unsetenv("HUSHNOTE_TERMINAL_CLASSES");
    struct Case {
        const char* instance;
        const char* klass;
        bool terminal;
    };
    const Case cases[] = {
        {"xterm", "XTerm", true},
        {"gnome-terminal-server", "Gnome-terminal", true},
        {"org.wezfurlong.wezterm", "org.wezfurlong.wezterm", true},
        {"", "Alacritty", true},
        {"st-256color", "st-256color", true},
        {"myterm", "MyTerm", true},
        {"retro-shell", "", true},
        {"zz", "", true},
        // Whole names only: an editor whose name contains "term" is no terminal.
        {"termpad", "Termpad", false},
        {"gedit", "Gedit", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.instance) + "/" + c.klass);
        EXPECT_EQ(classes.isTerminal(c.instance, c.klass), c.terminal);
    }
    EXPECT_EQ(TerminalWindowClasses::parseList(" a,,b  c:d "), (std::vector<std::string>{"a", "b", "c", "d"}));
}

} // namespace
} // namespace hushnote
