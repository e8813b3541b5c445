#include "HushnoteCore/ManagedOllamaServer.h"
#include "HushnoteCore/ManagedOllamaServerError.h"
#include "HushnoteCore/UnicodeText.h"
#include "tests/Fakes/FakeOllamaProcess.h"
#include "tests/Support/AsyncTesting.h"

#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

extern char** environ;

namespace hushnote {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Kind = ManagedOllamaServerError::Kind;

class ManagedOllamaServerTest : public ::testing::Test {
protected:
    ManagedOllamaConfiguration configuration(std::filesystem::path executable = testing::fakeOllamaExecutable())
    {
        return ManagedOllamaConfiguration(std::move(executable), models, std::nullopt, port);
    }

    std::unique_ptr<ManagedOllamaServer> server(ManagedOllamaServer::HealthWait wait = {},
        std::filesystem::path executable = testing::fakeOllamaExecutable())
    {
        return std::make_unique<ManagedOllamaServer>(pool.get_executor(), configuration(std::move(executable)), session, wait);
    }

    template <typename T>
    T run(asio::awaitable<T> operation)
    {
        return testing::runToCompletion(loop, std::move(operation));
    }

    std::optional<Kind> failureKind(ManagedOllamaServer& subject)
    {
        const auto error = testing::failureOf(loop, subject.ensureStarted());
        if (!error) {
            return std::nullopt;
        }
        try {
            std::rethrow_exception(error);
        } catch (const ManagedOllamaServerError& failure) {
            return failure.kind();
        } catch (const std::exception& other) {
            ADD_FAILURE() << other.what();
        }
        return std::nullopt;
    }

    pid_t lastLaunchedPid() const { return records.launches().back().at("pid").get<pid_t>(); }

    testing::TemporaryDirectory directory;
    std::filesystem::path models = directory.path() / "models" / "ollama";
    testing::FakeOllamaRecords records{models};
    int port = testing::freeLoopbackPort();
    asio::io_context loop;
    asio::thread_pool pool{2};
    std::shared_ptr<LoopbackHttpSession> session = std::make_shared<LoopbackHttpSession>();
};

TEST_F(ManagedOllamaServerTest, LaunchesServeWithOnlyTheScrubbedEnvironmentAndStops)
{
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ::setenv("OLLAMA_HOST", "0.0.0.0:1", 1);
    ::setenv("http_proxy", "http://127.0.0.1:9", 1);
    auto subject = server();
    const auto error = testing::failureOf(loop, subject->ensureStarted());
    const auto expectedEnvironment = configuration().environment(currentEnvironment());
    ::unsetenv("LANG");
    ::unsetenv("OLLAMA_HOST");
    ::unsetenv("http_proxy");
    ASSERT_FALSE(error);

    const auto launches = records.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].at("arguments"), json::array({testing::fakeOllamaExecutable().string(), "serve"}));
    using Environment = std::map<std::string, std::string>;
    EXPECT_EQ(launches[0].at("environment").get<Environment>(), expectedEnvironment);
    EXPECT_TRUE(std::filesystem::is_directory(models));
    EXPECT_TRUE(std::filesystem::is_directory(directory.path() / "models" / "ollama-home"));
    EXPECT_TRUE(run(subject->isHealthy()));

    // A healthy server is not launched again.
    run(subject->ensureStarted());
    EXPECT_EQ(records.launches().size(), 1u);
    EXPECT_EQ(run(subject->launchAttempts()), 1);

    const pid_t pid = lastLaunchedPid();
    run(subject->stop());
    EXPECT_TRUE(testing::eventually([&] { return testing::processGone(pid); }));
    EXPECT_FALSE(run(subject->isHealthy()));
}

TEST_F(ManagedOllamaServerTest, MissingUnusableOrUnstartableExecutablesAreRefused)
{
    const auto plain = directory.path() / "plain";
    testing::writeFile(plain, "not a program");
    ::chmod(plain.c_str(), 0644);
    const auto broken = directory.path() / "broken";
    testing::writeFile(broken, "#!/nonexistent/interpreter\n");
    ::chmod(broken.c_str(), 0755);

    const struct {
        std::filesystem::path executable;
        Kind expected;
    } cases[] = {
        {directory.path() / "missing", Kind::binaryMissing},
        {plain, Kind::binaryMissing},
        {directory.path(), Kind::binaryMissing},
        {broken, Kind::failedToStart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable.string());
        auto subject = server({}, c.executable);
        EXPECT_EQ(failureKind(*subject), c.expected);
        EXPECT_EQ(run(subject->launchAttempts()), 0);
    }
}

TEST_F(ManagedOllamaServerTest, ServerThatDiesWhileStartingFailsAtOnce)
{
    records.control({{"neverHealthy", true}, {"crashAfterRequests", 2}});
    auto subject = server();
    EXPECT_EQ(failureKind(*subject), Kind::unhealthy);
    EXPECT_LT(records.requestsTo("/api/version").size(), 300u);
    EXPECT_EQ(run(subject->launchAttempts()), 1);
}

TEST_F(ManagedOllamaServerTest, NeverHealthyServerIsStoppedAfterThreeHundredAttempts)
{
    // The launched server starts so slowly it never listens; a server that is already up on
    // the configured port answers every health check with 503 and counts them.
    testing::FakeOllamaProcess unhealthy(json{{"neverHealthy", true}, {"quiet", true}});
    port = unhealthy.port();
    json lines = json::array();
    for (int i = 1; i <= 14; ++i) {
        lines.push_back("line " + std::to_string(i));
        lines.push_back("");
    }
    records.control({{"startDelayMs", 600000}, {"printLines", lines}});
    auto subject = server({300, 1ms});
    const auto error = testing::failureOf(loop, subject->ensureStarted());
    ASSERT_TRUE(error);

    EXPECT_EQ(unhealthy.records().requestsTo("/api/version").size(), 300u);
    EXPECT_TRUE(testing::eventually([&] { return testing::processGone(lastLaunchedPid()); }));
    std::string expected = "Managed Ollama server did not become healthy";
    for (int i = 3; i <= 14; ++i) {
        expected += "\nline " + std::to_string(i);
    }
    EXPECT_EQ(run(subject->diagnosticDetail(error)), expected);
}

TEST_F(ManagedOllamaServerTest, ExitedServerIsRelaunchedOnceAndThenTheLimitHolds)
{
    auto subject = server();
    const auto killLatest = [&] {
        const pid_t pid = lastLaunchedPid();
        ::kill(pid, SIGKILL);
        return testing::eventually([&] { return testing::processGone(pid); });
    };
    run(subject->ensureStarted());
    ASSERT_TRUE(killLatest());
    run(subject->ensureStarted());
    EXPECT_EQ(records.launches().size(), 2u);
    ASSERT_TRUE(killLatest());

    EXPECT_EQ(failureKind(*subject), Kind::restartLimitReached);
    EXPECT_EQ(failureKind(*subject), Kind::restartLimitReached);
    EXPECT_EQ(records.launches().size(), 2u);
    EXPECT_EQ(run(subject->launchAttempts()), 2);
}

TEST_F(ManagedOllamaServerTest, OutputTailKeepsTheLastTwelveThousandCharacters)
{
    records.control({{"printCharacters", 15000}, {"quiet", true}});
    auto subject = server();
    run(subject->ensureStarted());
    std::string tail;
    EXPECT_TRUE(testing::eventually([&] {
        tail = run(subject->outputTail());
        return tail.find("(version 0.12.0)\n") != std::string::npos;
    }));
    EXPECT_EQ(graphemeCount(tail), 12000u);
    EXPECT_TRUE(tail.ends_with("(version 0.12.0)\n"));
    EXPECT_EQ(tail.find_first_not_of('x'), 12000u - std::string("fake-ollama: Listening on 127.0.0.1:"
                                                                 + std::to_string(port) + " (version 0.12.0)\n")
                                                          .size());
}

TEST_F(ManagedOllamaServerTest, OutputThatIsNotUTF8NeverReachesTheTail)
{
    records.control({{"printInvalidUTF8", true}, {"quiet", true}});
    auto subject = server();
    run(subject->ensureStarted());
    run(subject->isHealthy());
    const auto tail = run(subject->outputTail());
    EXPECT_TRUE(isValidUTF8(tail));
    EXPECT_EQ(tail.find("broken"), std::string::npos);
}

TEST(ManagedOllamaServerOutput, ChunksAreDecodedWholeAndCutByCharacters)
{
    std::string tail;
    std::string pending;
    ManagedOllamaServer::appendOutput(tail, pending, "ready\n", 11);
    ManagedOllamaServer::appendOutput(tail, pending, "\xff\xfe garbage\n", 11);
    EXPECT_EQ(tail, "ready\n");
    // A character split across two reads survives.
    ManagedOllamaServer::appendOutput(tail, pending, "caf\xc3", 11);
    ManagedOllamaServer::appendOutput(tail, pending, "\xa9\n", 11);
    EXPECT_EQ(tail, "ready\ncafé\n");
    // The limit counts user-perceived characters: each flag is one.
    ManagedOllamaServer::appendOutput(tail, pending, "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 11);
    EXPECT_EQ(tail, "ady\ncafé\n\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7");
    EXPECT_EQ(graphemeCount(tail), 11u);
}

asio::awaitable<bool> started(ManagedOllamaServer& subject)
{
    co_await subject.ensureStarted();
    co_return true;
}

TEST_F(ManagedOllamaServerTest, CancelledStartLeavesTheLaunchedServerRunningAndHeld)
{
    records.control({{"neverHealthy", true}, {"quiet", true}});
    auto subject = server({300, 100ms});
    EXPECT_EQ(run(withDeadline(started(*subject), 300ms)), std::nullopt);
    ASSERT_EQ(records.launches().size(), 1u);
    const pid_t pid = lastLaunchedPid();
    EXPECT_FALSE(testing::processGone(pid));
    EXPECT_EQ(run(subject->launchAttempts()), 1);
    run(subject->stop());
    EXPECT_TRUE(testing::eventually([&] { return testing::processGone(pid); }));
}

// Hushnote killed outright (SIGKILL, nothing runs) still takes the server and the helper
// process the server started down with it.
TEST_F(ManagedOllamaServerTest, KilledHushnoteTakesTheServerAndItsHelpersWithIt)
{
    records.control({{"spawnGrandchild", true}, {"quiet", true}});
    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    const auto holder = (testing::fakeOllamaExecutable().parent_path() / "managed-ollama-holder").string();
    std::vector<std::string> text{holder, testing::fakeOllamaExecutable().string(), models.string(), std::to_string(port)};
    std::vector<char*> argv;
    for (auto& argument : text) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, holder.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    char ready[6] = {};
    const auto got = ::read(output[0], ready, 5);
    ::close(output[0]);
    ASSERT_EQ(std::string(ready, got > 0 ? static_cast<std::size_t>(got) : 0), "ready");

    const auto launch = records.launches().at(0);
    const pid_t server = launch.at("pid").get<pid_t>();
    const pid_t grandchild = launch.at("grandchild").get<pid_t>();
    ASSERT_GT(grandchild, 0);
    EXPECT_FALSE(testing::processGone(server));
    EXPECT_FALSE(testing::processGone(grandchild));

    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(testing::eventually([&] { return testing::processGone(server); }));
    EXPECT_TRUE(testing::eventually([&] { return testing::processGone(grandchild); }));
}

} // namespace
} // namespace hushnote
