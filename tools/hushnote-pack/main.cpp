// hushnote-pack: builds a model archive for the asset server and prints its manifest entry.
#include "Foundation/Error.h"
#include "HushnoteCore/ModelArchivePacker.h"
#include "HushnoteCore/ModelInstallError.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <string>

namespace {

constexpr const char* kUsage = R"(usage: hushnote-pack <model-dir> <archive.zip> [options]

Packs every file and directory under <model-dir> into a new zip archive that Hushnote's
installer accepts, and prints the artifact entry for the asset manifest.

options:
  --kind whisper-coreml|ollama-model-store   (default whisper-coreml)
  --id ID                 (default openai_whisper-small, or gemma4-e2b for a store)
  --version VERSION       (default 1)
  --install-path PATH     (default whisper/openai_whisper-small, or ollama for a store)
  --download-path PATH    where the archive will be published, absolute or relative to
                          the manifest (default: the archive's file name)
)";

int usage(const std::string& problem)
{
    std::cerr << "hushnote-pack: " << problem << "\n\n" << kUsage;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options{{"--kind", "whisper-coreml"}, {"--version", "1"}};
    std::string positional[2];
    int positionalCount = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (argument.rfind("--", 0) == 0) {
            if (argument != "--kind" && argument != "--id" && argument != "--version" && argument != "--install-path"
                && argument != "--download-path") {
                return usage("unknown option " + argument);
            }
            if (i + 1 >= argc) {
                return usage(argument + " needs a value");
            }
            options[argument] = argv[++i];
            continue;
        }
        if (positionalCount == 2) {
            return usage("too many arguments");
        }
        positional[positionalCount++] = argument;
    }
    if (positionalCount != 2) {
        return usage("a model directory and an archive path are needed");
    }
    const auto& kind = options["--kind"];
    const bool store = kind == "ollama-model-store";
    if (!store && kind != "whisper-coreml") {
        return usage("unknown kind " + kind);
    }
    if (!options.count("--id")) {
        options["--id"] = store ? "gemma4-e2b" : "openai_whisper-small";
    }
    if (!options.count("--install-path")) {
        options["--install-path"] = store ? "ollama" : "whisper/openai_whisper-small";
    }
    if (!options.count("--download-path")) {
        options["--download-path"] = std::filesystem::path(positional[1]).filename().string();
    }
    try {
        const auto packed = hushnote::ModelArchivePacker::pack(positional[0], positional[1]);
        std::cout << hushnote::ModelArchivePacker::manifestEntry(kind, options["--id"], options["--version"],
                         options["--install-path"], options["--download-path"], packed)
                         .dump(2)
                  << "\n";
        return 0;
    } catch (const hushnote::ModelInstallError& error) {
        // The installer would refuse the archive, so it is not built.
        std::cerr << "hushnote-pack: refusing to pack executable code: " << error.path() << "\n";
        return 1;
    } catch (const std::exception&) {
        std::cerr << "hushnote-pack: " << hushnote::describeError(std::current_exception()).description << "\n";
        return 1;
    }
}
