#include "HushnoteApp/LaunchAtLoginController.h"

#include "Foundation/FileIO.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <system_error>

namespace hushnote {

namespace {

std::string trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// The keys of the [Desktop Entry] group; localised and other groups' keys are not needed.
std::map<std::string, std::string> desktopEntryKeys(const std::string& text)
{
    std::map<std::string, std::string> keys;
    std::istringstream lines(text);
    std::string line;
    bool inEntryGroup = false;
    while (std::getline(lines, line)) {
        const auto trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        if (trimmed[0] == '[') {
            inEntryGroup = trimmed == "[Desktop Entry]";
            continue;
        }
        const auto equals = trimmed.find('=');
        if (!inEntryGroup || equals == std::string::npos) {
            continue;
        }
        keys.emplace(trim(std::string_view(trimmed).substr(0, equals)),
            trim(std::string_view(trimmed).substr(equals + 1)));
    }
    return keys;
}

// Exec is a desktop-entry string (\\ \s \n \t \r escapes) holding a quoted argument whose
// quotes escape " ` $ and \, and in which a literal % is written %%.
std::string quoteExecArgument(const std::string& argument)
{
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '\n': escaped += "\\n"; break;
        case '\t': escaped += "\\t"; break;
        case '\r': escaped += "\\r"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string unescapeString(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

bool isFalse(const std::map<std::string, std::string>& keys, const std::string& key)
{
    const auto it = keys.find(key);
    return it != keys.end() && it->second == "false";
}

bool isTrue(const std::map<std::string, std::string>& keys, const std::string& key)
{
    const auto it = keys.find(key);
    return it != keys.end() && it->second == "true";
}

} // namespace

std::string_view toString(LoginItemStatus status)
{
    switch (status) {
    case LoginItemStatus::notRegistered: return "notRegistered";
    case LoginItemStatus::enabled: return "enabled";
    case LoginItemStatus::requiresApproval: return "requiresApproval";
    case LoginItemStatus::notFound: return "notFound";
    }
    return "notFound";
}

LaunchAtLoginController::LaunchAtLoginController(std::filesystem::path autostartDirectory, std::filesystem::path executable)
    : entryFile_(std::move(autostartDirectory) / "hushnote.desktop")
    , executable_(std::move(executable))
{
}

LaunchAtLoginController LaunchAtLoginController::forCurrentUser()
{
    std::filesystem::path configHome;
    if (const char* value = std::getenv("XDG_CONFIG_HOME"); value != nullptr && *value == '/') {
        configHome = value;
    } else {
        const char* home = std::getenv("HOME");
        configHome = std::filesystem::path(home != nullptr && *home != '\0' ? home : "/") / ".config";
    }
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return LaunchAtLoginController(configHome / "autostart", error ? std::filesystem::path("hushnote") : executable);
}

std::string LaunchAtLoginController::execProgram(std::string_view execValue)
{
    const auto value = unescapeString(execValue);
    std::string program;
    std::size_t i = 0;
    if (!value.empty() && value[0] == '"') {
        for (i = 1; i < value.size() && value[i] != '"'; ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                ++i;
            }
            program += value[i];
        }
        if (i == value.size()) {
            return {};
        }
    } else {
        const auto end = value.find_first_of(" \t");
        program = value.substr(0, end);
    }
    std::string unpercented;
    for (std::size_t j = 0; j < program.size(); ++j) {
        unpercented += program[j];
        if (program[j] == '%' && j + 1 < program.size() && program[j + 1] == '%') {
            ++j;
        }
    }
    return unpercented;
}

std::string LaunchAtLoginController::desktopEntry(const std::filesystem::path& executable)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Hushnote\n"
           "Comment=Hold a key to dictate into any application\n"
           "Exec="
        + quoteExecArgument(executable.string())
        + "\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n";
}

LoginItemStatus LaunchAtLoginController::status() const
{
    const auto text = readWholeFile(entryFile_);
    if (!text) {
        return LoginItemStatus::notRegistered;
    }
    const auto keys = desktopEntryKeys(*text);
    if (isTrue(keys, "Hidden") || isFalse(keys, "X-GNOME-Autostart-enabled")) {
        return LoginItemStatus::requiresApproval;
    }
    const auto exec = keys.find("Exec");
    if (exec == keys.end() || execProgram(exec->second) != executable_.string()) {
        return LoginItemStatus::notRegistered;
    }
    return LoginItemStatus::enabled;
}

void LaunchAtLoginController::writeEntry()
{
    std::filesystem::create_directories(entryFile_.parent_path());
    errno = 0;
    if (!writeFileAtomically(entryFile_, desktopEntry(executable_))) {
        throw std::filesystem::filesystem_error("cannot write the autostart entry", entryFile_,
            std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    }
    std::filesystem::permissions(entryFile_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write
            | std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

void LaunchAtLoginController::ensureEnabled()
{
    const auto current = status();
    if (current == LoginItemStatus::enabled || current == LoginItemStatus::requiresApproval) {
        return;
    }
    writeEntry();
}

void LaunchAtLoginController::setEnabled(bool enabled)
{
    const auto current = status();
    if (enabled) {
        if (current != LoginItemStatus::enabled) {
            writeEntry();
        }
        return;
    }
    if (current == LoginItemStatus::enabled || current == LoginItemStatus::requiresApproval) {
        std::filesystem::remove(entryFile_);
    }
}

} // namespace hushnote
