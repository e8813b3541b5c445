#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace hushnote {

// The login item's state, in the vocabulary the status store and the log use.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

std::string_view toString(LoginItemStatus status);

// Starts Hushnote at login through an XDG autostart entry, "hushnote.desktop" in the autostart
// directory, whose Exec runs the executable given at construction. An entry the user switched
// off in the desktop's start-up settings (Hidden=true, X-GNOME-Autostart-enabled=false) counts
// as awaiting the user's approval: automatic registration leaves it alone. Stateless beyond
// its two paths; reads and writes the file on every call.
class LaunchAtLoginController {
public:
    LaunchAtLoginController(std::filesystem::path autostartDirectory, std::filesystem::path executable);
    // $XDG_CONFIG_HOME/autostart (default ~/.config/autostart) and the running executable.
    static LaunchAtLoginController forCurrentUser();

    // `enabled` only when the entry exists, is switched on and runs this executable.
    LoginItemStatus status() const;
    // Writes the entry unless the status is `enabled` or `requiresApproval`. Throws
    // std::filesystem::filesystem_error when the entry cannot be written.
    void ensureEnabled();
    // true writes the entry unless it is already `enabled` (the user asking is the approval);
    // false removes it when it is `enabled` or `requiresApproval`. Throws
    // std::filesystem::filesystem_error.
    void setEnabled(bool enabled);

    const std::filesystem::path& entryFile() const { return entryFile_; }
    const std::filesystem::path& executable() const { return executable_; }

    // The entry's text for `executable`.
    static std::string desktopEntry(const std::filesystem::path& executable);
    // The program of an entry's Exec value (quoting and escapes undone); empty when none.
    static std::string execProgram(std::string_view execValue);

private:
    void writeEntry();

    std::filesystem::path entryFile_;
    std::filesystem::path executable_;
};

} // namespace hushnote
