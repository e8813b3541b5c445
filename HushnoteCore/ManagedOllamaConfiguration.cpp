#include "HushnoteCore/ManagedOllamaConfiguration.h"

#include <array>
#include <random>

extern char** environ;

namespace hushnote {

namespace {

std::filesystem::path withoutTrailingSeparator(std::filesystem::path path)
{
    auto text = path.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

} // namespace

ManagedOllamaConfiguration::ManagedOllamaConfiguration(std::filesystem::path executableURL,
    std::filesystem::path modelsDirectory, std::optional<std::filesystem::path> homeDirectory, int port)
    : executableURL(std::move(executableURL))
    , modelsDirectory(std::move(modelsDirectory))
    , port(port)
{
    this->homeDirectory = homeDirectory ? std::move(*homeDirectory)
                                        : withoutTrailingSeparator(this->modelsDirectory).parent_path() / "ollama-home";
}

std::string ManagedOllamaConfiguration::baseURL() const { return "http://127.0.0.1:" + std::to_string(port); }

std::map<std::string, std::string> ManagedOllamaConfiguration::environment(
    const std::map<std::string, std::string>& environment) const
{
    static constexpr std::array<const char*, 5> kKept{"PATH", "TMPDIR", "TMP", "TEMP", "__CF_USER_TEXT_ENCODING"};
    std::map<std::string, std::string> result;
    for (const char* name : kKept) {
        if (const auto found = environment.find(name); found != environment.end()) {
            result.emplace(name, found->second);
        }
    }
    const auto home = withoutTrailingSeparator(homeDirectory);
    result["HOME"] = home.string();
    result["XDG_CACHE_HOME"] = (home / "cache").string();
    result["XDG_CONFIG_HOME"] = (home / "config").string();
    result["XDG_DATA_HOME"] = (home / "data").string();
    result["OLLAMA_HOST"] = "127.0.0.1:" + std::to_string(port);
    result["OLLAMA_MODELS"] = withoutTrailingSeparator(modelsDirectory).string();
    result["OLLAMA_NO_CLOUD"] = "true";
    result["OLLAMA_NOHISTORY"] = "true";
    return result;
}

int ManagedOllamaConfiguration::randomPort()
{
    std::random_device device;
    std::uniform_int_distribution<int> offset(0, 29999);
    return 20000 + offset(device);
}

std::map<std::string, std::string> currentEnvironment()
{
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            result.emplace(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return result;
}

} // namespace hushnote
