#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace hushnote {

// Where the private Ollama server's executable, model store and home are, the loopback port
// it listens on, and the scrubbed environment it runs with. A plain value.
struct ManagedOllamaConfiguration {
    // Without `homeDirectory` the home is the models directory's parent / "ollama-home".
    ManagedOllamaConfiguration(std::filesystem::path executableURL, std::filesystem::path modelsDirectory,
        std::optional<std::filesystem::path> homeDirectory, int port);

    std::filesystem::path executableURL;
    std::filesystem::path modelsDirectory;
    std::filesystem::path homeDirectory;
    int port;

    // "http://127.0.0.1:<port>", no trailing slash.
    std::string baseURL() const;

    // The server's environment: of `environment` only PATH, TMPDIR, TMP, TEMP and
    // __CF_USER_TEXT_ENCODING survive; HOME, the XDG directories, OLLAMA_HOST, OLLAMA_MODELS,
    // OLLAMA_NO_CLOUD and OLLAMA_NOHISTORY are set.
    std::map<std::string, std::string> environment(const std::map<std::string, std::string>& environment) const;

    bool operator==(const ManagedOllamaConfiguration&) const = default;

    // 20000 plus a uniformly drawn 0 to 29999.
    static int randomPort();
};

// The calling process's environment as a map.
std::map<std::string, std::string> currentEnvironment();

} // namespace hushnote
