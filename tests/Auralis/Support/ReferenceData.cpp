#include "tests/Auralis/Support/ReferenceData.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace auralis::testing {

std::filesystem::path referenceTokenizerDirectory()
{
    const char* sourceDir = std::getenv("HUSHNOTE_TEST_SOURCE_DIR");
    const std::filesystem::path tests = sourceDir
        ? sourceDir
        : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    const auto directory = tests.parent_path().parent_path() / "shared" / "reference" / "tokenizer";
    if (!std::filesystem::is_regular_file(directory / "multilingual-tokenizer.json")) {
        throw std::runtime_error(
            "the reference tokenizers are missing: expected " + directory.string());
    }
    return directory;
}

std::filesystem::path referenceTokenizerFolder(const std::string& kind)
{
    static std::mutex mutex;
    static std::map<std::string, std::filesystem::path> folders;
    std::lock_guard lock(mutex);
    if (const auto it = folders.find(kind); it != folders.end()) {
        return it->second;
    }
    // Symlinked, not copied: the vocabularies stay where they are.
    const auto folder = std::filesystem::temp_directory_path()
        / ("auralis-tokenizer-" + kind + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::remove(folder / "tokenizer.json");
    std::filesystem::create_symlink(
        referenceTokenizerDirectory() / (kind + "-tokenizer.json"), folder / "tokenizer.json");
    std::atexit([] {
        for (const auto& [name, path] : folders) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    });
    folders[kind] = folder;
    return folder;
}

const WhisperTokenizerWrapper& referenceWrapper(const std::string& kind)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<WhisperTokenizerWrapper>> loaded;
    std::lock_guard lock(mutex);
    auto& slot = loaded[kind];
    if (!slot) {
        const auto folder = referenceTokenizerFolder(kind);
        slot = std::make_unique<WhisperTokenizerWrapper>(BPETokenizer::fromFolder(folder), folder);
    }
    return *slot;
}

const BPETokenizer& referenceTokenizer(const std::string& kind)
{
    return static_cast<const BPETokenizer&>(referenceWrapper(kind).tokenizer());
}

} // namespace auralis::testing
