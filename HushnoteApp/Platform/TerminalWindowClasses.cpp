#include "HushnoteApp/Platform/TerminalWindowClasses.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace hushnote {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    for (auto& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

} // namespace

TerminalWindowClasses::TerminalWindowClasses(std::vector<std::string> names)
{
    for (const auto& name : names) {
        names_.push_back(lower(name));
    }
}

const std::vector<std::string>& TerminalWindowClasses::builtIn()
{
    // Instance and class names as the terminals set them; either one is enough.
    static const std::vector<std::string> names{
        "xterm", "uxterm", "urxvt", "rxvt", "rxvt-unicode", "konsole", "gnome-terminal",
        "gnome-terminal-server", "kitty", "alacritty", "tilix", "wezterm",
        "org.wezfurlong.wezterm", "foot", "footclient", "st", "st-256color", "ghostty",
        "com.mitchellh.ghostty", "terminator", "xfce4-terminal", "mate-terminal", "lxterminal",
        "qterminal", "terminology", "sakura", "guake", "yakuake", "tilda", "kgx",
        "org.gnome.console", "ptyxis", "org.gnome.ptyxis", "blackbox", "com.raggesilver.blackbox",
        "deepin-terminal", "io.elementary.terminal", "pantheon-terminal", "cool-retro-term",
        "contour", "rio", "roxterm", "lilyterm", "termite", "zutty", "eterm", "aterm", "hyper",
        "tabby", "warp", "extraterm", "cosmic-term", "com.system76.cosmicterm", "wayst",
        "mlterm", "kterm", "terminal", "org.kde.konsole",
    };
    return names;
}

std::vector<std::string> TerminalWindowClasses::parseList(std::string_view list)
{
    std::vector<std::string> names;
    std::string current;
    for (const char c : list) {
        if (c == ',' || c == ':' || std::isspace(static_cast<unsigned char>(c))) {
            if (!current.empty()) {
                names.push_back(std::move(current));
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        names.push_back(std::move(current));
    }
    return names;
}

TerminalWindowClasses TerminalWindowClasses::fromEnvironment()
{
    auto names = builtIn();
    if (const char* extra = std::getenv("HUSHNOTE_TERMINAL_CLASSES")) {
        for (auto& name : parseList(extra)) {
            names.push_back(std::move(name));
        }
    }
    return TerminalWindowClasses(std::move(names));
}

bool TerminalWindowClasses::isTerminal(std::string_view instanceName, std::string_view className) const
{
    const auto instance = lower(instanceName);
    const auto klass = lower(className);
    return std::any_of(names_.begin(), names_.end(), [&](const std::string& name) {
        return (!instance.empty() && name == instance) || (!klass.empty() && name == klass);
    });
}

} // namespace hushnote
