#include "HushnoteApp/ApplicationPaths.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace hushnote {

namespace {

std::optional<std::string> nonEmptyEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace

std::filesystem::path ApplicationPaths::appSupportDirectory()
{
    if (auto configured = nonEmptyEnvironment("HUSHNOTE_APP_SUPPORT_DIR")) {
        return *configured;
    }
    if (auto dataHome = nonEmptyEnvironment("XDG_DATA_HOME")) {
        return std::filesystem::path(*dataHome) / "Hushnote";
    }
    const auto home = nonEmptyEnvironment("HOME").value_or("/tmp");
    return std::filesystem::path(home) / ".local" / "share" / "Hushnote";
}

std::filesystem::path ApplicationPaths::resourceDirectory()
{
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::filesystem::path("share") / "hushnote";
    }
    return executable.parent_path().parent_path() / "share" / "hushnote";
}

std::filesystem::path ApplicationPaths::temporaryDirectory()
{
    return nonEmptyEnvironment("TMPDIR").value_or("/tmp");
}

std::map<std::string, std::string> readInfoDictionary(const std::filesystem::path& infoFile)
{
    std::map<std::string, std::string> values;
    std::ifstream in(infoFile, std::ios::binary);
    if (!in) {
        return values;
    }
    const auto json = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
        return values;
    }
    for (const auto& [key, value] : json.items()) {
        if (value.is_string()) {
            values[key] = value.get<std::string>();
        }
    }
    return values;
}

} // namespace hushnote
