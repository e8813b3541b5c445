#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace hushnote {

// Where Hushnote keeps and finds its files on Linux.
struct ApplicationPaths {
    // "HUSHNOTE_APP_SUPPORT_DIR" when set and not empty, else $XDG_DATA_HOME/Hushnote, else
    // ~/.local/share/Hushnote.
    static std::filesystem::path appSupportDirectory();

    // The installed share directory, <prefix>/share/hushnote, found relative to the running
    // executable (<prefix>/bin/hushnote). Also right inside the build tree.
    static std::filesystem::path resourceDirectory();

    // $TMPDIR when set and not empty, else /tmp.
    static std::filesystem::path temporaryDirectory();
};

// The string-valued keys of Info.json. A missing or malformed file reads as empty: callers
// fall back to their defaults.
std::map<std::string, std::string> readInfoDictionary(const std::filesystem::path& infoFile);

} // namespace hushnote
