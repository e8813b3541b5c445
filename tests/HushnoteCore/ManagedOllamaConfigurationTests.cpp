#include "HushnoteCore/ManagedOllamaConfiguration.h"

#include <gtest/gtest.h>

#include <set>

namespace hushnote {
namespace {

TEST(ManagedOllamaConfiguration, HomeDefaultsBesideTheModelStoreAndShapesTheEnvironment)
{
    const ManagedOllamaConfiguration configuration("/opt/ollama", "/x/models/ollama", std::nullopt, 20123);
    EXPECT_EQ(configuration.homeDirectory, "/x/models/ollama-home");
    EXPECT_EQ(configuration.baseURL(), "http://127.0.0.1:20123");
    EXPECT_EQ(ManagedOllamaConfiguration("/opt/ollama", "/x/models/ollama/", std::nullopt, 1).homeDirectory,
        "/x/models/ollama-home");
    EXPECT_EQ(ManagedOllamaConfiguration("/opt/ollama", "/x/models/ollama", "/h", 1).homeDirectory, "/h");
    EXPECT_EQ(configuration, ManagedOllamaConfiguration("/opt/ollama", "/x/models/ollama", "/x/models/ollama-home", 20123));
    EXPECT_FALSE(configuration == ManagedOllamaConfiguration("/opt/ollama", "/x/models/ollama", std::nullopt, 20124));

    const std::map<std::string, std::string> given{{"PATH", "/usr/bin:/bin"}, {"LANG", "de_DE.UTF-8"},
        {"OLLAMA_HOST", "0.0.0.0:11434"}, {"TMPDIR", "/tmp/t"}, {"TMP", "/tmp/a"}, {"TEMP", "/tmp/b"},
        {"__CF_USER_TEXT_ENCODING", "0x1F5:0:0"}, {"HOME", "/root"}, {"http_proxy", "http://proxy:3128"},
        {"OLLAMA_MODELS", "/elsewhere"}, {"XDG_CACHE_HOME", "/root/.cache"}};
    const std::map<std::string, std::string> expected{{"PATH", "/usr/bin:/bin"}, {"TMPDIR", "/tmp/t"},
        {"TMP", "/tmp/a"}, {"TEMP", "/tmp/b"}, {"__CF_USER_TEXT_ENCODING", "0x1F5:0:0"},
        {"HOME", "/x/models/ollama-home"}, {"XDG_CACHE_HOME", "/x/models/ollama-home/cache"},
        {"XDG_CONFIG_HOME", "/x/models/ollama-home/config"}, {"XDG_DATA_HOME", "/x/models/ollama-home/data"},
        {"OLLAMA_HOST", "127.0.0.1:20123"}, {"OLLAMA_MODELS", "/x/models/ollama"}, {"OLLAMA_NO_CLOUD", "true"},
        {"OLLAMA_NOHISTORY", "true"}};
    EXPECT_EQ(configuration.environment(given), expected);
    EXPECT_EQ(configuration.environment({}).count("PATH"), 0u);
}

TEST(ManagedOllamaConfiguration, RandomPortsStayInTheirRange)
{
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
        const int port = ManagedOllamaConfiguration::randomPort();
        ASSERT_GE(port, 20000);
        ASSERT_LE(port, 49999);
        seen.insert(port);
    }
    EXPECT_GT(seen.size(), 1000u);
}

} // namespace
} // namespace hushnote
