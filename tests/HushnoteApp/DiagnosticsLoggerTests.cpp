#include "HushnoteApp/DiagnosticsError.h"
#include "HushnoteApp/DiagnosticsLogger.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "tests/Fakes/FakeClock.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <set>
#include <regex>
#include <sstream>
#include <system_error>
#include <thread>

namespace hushnote {
namespace {

using namespace std::chrono_literals;
using Level = DiagnosticsLogEvent::Level;
namespace fs = std::filesystem;

std::vector<nlohmann::json> readLines(const fs::path& file)
{
    std::vector<nlohmann::json> out;
    std::istringstream lines(testing::readFile(file));
    std::string line;
    while (std::getline(lines, line)) {
        out.push_back(nlohmann::json::parse(line));
    }
    return out;
}

std::string isoTimestamp(WallTime time)
{
    const auto seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

std::string eventLine(WallTime time, const std::string& message)
{
    return R"({"timestamp":")" + isoTimestamp(time) + R"(","level":"info","category":"test","message":")" + message
        + R"(","metadata":{}})" + "\n";
}

class DiagnosticsLoggerTest : public ::testing::Test {
protected:
    fs::path logs() const { return directory.path() / "logs"; }
    fs::path active() const { return logs() / "Hushnote-diagnostics.txt"; }

    testing::TemporaryDirectory directory;
    testing::FakeClock clock;
};

TEST_F(DiagnosticsLoggerTest, WritesOrderedCompactLinesWithSanitisedContent)
{
    DiagnosticsLogger logger(logs(), clock);
    EXPECT_TRUE(fs::is_directory(directory.path() / "support-reports"));

    std::string longMessage;
    for (int i = 0; i < 1500; ++i) {
        longMessage += (i % 2 == 0) ? "e\u0301" : "\U0001F44D"; // combining accent, emoji
    }
    logger.record(Level::warning, "dictation.state", longMessage,
        {{"Transcript", "secret"}, {"contextText", "kept"}, {"PROMPT", "secret"}, {"audioPath", "secret"},
            {"long", std::string(20'000, 'x')}});

    const auto raw = testing::readFile(active());
    EXPECT_TRUE(std::regex_search(raw,
        std::regex(R"(^\{"timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","level":"warning","category":"dictation.state","message":)")));
    EXPECT_EQ(raw.back(), '\n');
    EXPECT_EQ(raw.find("secret"), std::string::npos);

    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), 1u);
    const auto message = lines[0]["message"].get<std::string>();
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        expected += (i % 2 == 0) ? "e\u0301" : "\U0001F44D";
    }
    EXPECT_EQ(message, expected);
    const auto metadata = lines[0]["metadata"];
    EXPECT_EQ(metadata.size(), 2u);
    EXPECT_EQ(metadata["contextText"], "kept");
    EXPECT_EQ(metadata["long"].get<std::string>().size(), 16'384u);
}

TEST_F(DiagnosticsLoggerTest, InvalidUtf8NeverBreaksTheLog)
{
    DiagnosticsLogger logger(logs(), clock);
    logger.record(Level::info, "test", "bad \xff\xfe bytes", {{"key", "\xc3"}});
    logger.record(Level::info, "test", "next", {});
    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["message"], "next");
}

TEST_F(DiagnosticsLoggerTest, RotatesOnlyWhenTheNextLineWouldPassTwentyMebibytes)
{
    // Measure the exact line this event produces.
    std::size_t lineLength = 0;
    {
        testing::TemporaryDirectory probeDirectory;
        DiagnosticsLogger probe(probeDirectory.path() / "logs", clock);
        probe.record(Level::info, "test", "rotation probe", {});
        lineLength = fs::file_size(probe.activeLogURL());
    }
    for (const bool overflow : {false, true}) {
        SCOPED_TRACE(overflow ? "overflow" : "fits");
        testing::TemporaryDirectory dir;
        DiagnosticsLogger logger(dir.path() / "logs", clock);
        testing::writeFile(logger.activeLogURL(), "");
        const auto start = DiagnosticsLogger::kMaxLogBytes - lineLength + (overflow ? 1 : 0);
        fs::resize_file(logger.activeLogURL(), start);
        logger.record(Level::info, "test", "rotation probe", {});

        const auto files = logger.diagnosticsLogFiles();
        if (overflow) {
            ASSERT_EQ(files.size(), 2u);
            EXPECT_EQ(fs::file_size(logger.activeLogURL()), lineLength);
            const auto rotated = files[0].filename().string();
            EXPECT_TRUE(std::regex_match(rotated, std::regex(R"(Hushnote-diagnostics-\d{8}-\d{6}-[0-9A-F]{8}\.txt)")))
                << rotated;
            EXPECT_EQ(fs::file_size(files[0]), start);
        } else {
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(fs::file_size(logger.activeLogURL()), DiagnosticsLogger::kMaxLogBytes);
        }
    }
}

TEST_F(DiagnosticsLoggerTest, PruningDropsOldAndBrokenLinesAndEmptyRotatedFiles)
{
    const auto now = clock.now();
    testing::writeFile(active(),
        eventLine(now - 31 * 24h, "old") + "not json\n" + "\xff\xfe\n" + eventLine(now - 29 * 24h, "recent")
            + R"({"timestamp":"x","level":"info","category":"c","message":"m","metadata":{}})" + "\n");
    const auto rotatedOld = logs() / "Hushnote-diagnostics-20200101-000000-AAAAAAAA.txt";
    testing::writeFile(rotatedOld, eventLine(now - 40 * 24h, "ancient"));
    const auto rotatedKept = logs() / "Hushnote-diagnostics-20200102-000000-BBBBBBBB.txt";
    testing::writeFile(rotatedKept, eventLine(now - 1h, "fresh"));
    // Modification dates follow the test's clock, so only the events' age decides here.
    for (const auto& file : {rotatedOld, rotatedKept}) {
        fs::last_write_time(file, std::chrono::file_clock::from_sys(now));
    }
    const auto unrelated = logs() / "notes.txt";
    testing::writeFile(unrelated, "not a log\n");

    DiagnosticsLogger logger(logs(), clock);

    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["message"], "recent");
    EXPECT_FALSE(fs::exists(rotatedOld));
    EXPECT_EQ(testing::readFile(rotatedKept), eventLine(now - 1h, "fresh"));
    EXPECT_EQ(testing::readFile(unrelated), "not a log\n");
}

TEST_F(DiagnosticsLoggerTest, CleanupRunsAtMostOnceADay)
{
    DiagnosticsLogger logger(logs(), clock);
    // A stale event written behind the logger's back shows whether a clean-up ran.
    const auto plant = [&] {
        std::ofstream out(active(), std::ios::app);
        out << eventLine(clock.now() - 40 * 24h, "stale");
    };
    const auto staleCount = [&] {
        int count = 0;
        for (const auto& line : readLines(active())) {
            count += line["message"] == "stale";
        }
        return count;
    };
    plant();
    clock.advance(23h);
    logger.record(Level::info, "test", "at 23 hours", {});
    EXPECT_EQ(staleCount(), 1);
    clock.advance(2h);
    logger.record(Level::info, "test", "at 25 hours", {});
    EXPECT_EQ(staleCount(), 0);
    plant();
    logger.cleanupExpiredFilesIfNeeded(clock.now(), true);
    EXPECT_EQ(staleCount(), 0);
}

TEST_F(DiagnosticsLoggerTest, MigratesRecentLegacyEventsAndDeletesLegacyFiles)
{
    const auto now = clock.now();
    const auto legacy = logs() / "old-format.jsonl";
    testing::writeFile(legacy, eventLine(now - 1h, "one") + "\n" + eventLine(now - 40 * 24h, "too old")
            + R"({"timestamp":")" + isoTimestamp(now - 2h)
            + R"(","level":"error","category":"c","message":"two","metadata":{"transcript":"secret"}})" + "\n");
    DiagnosticsLogger logger(logs(), clock);
    EXPECT_FALSE(fs::exists(legacy));
    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["message"], "one");
    EXPECT_EQ(lines[1]["message"], "two");
    EXPECT_TRUE(lines[1]["metadata"].empty());
}

TEST_F(DiagnosticsLoggerTest, SupportBundlesExpireAfterSevenDays)
{
    const auto reports = directory.path() / "support-reports";
    const auto oldBundle = reports / "Hushnote-support-old.zip";
    const auto newBundle = reports / "Hushnote-support-new.zip";
    testing::writeFile(oldBundle, "zip");
    testing::writeFile(newBundle, "zip");
    const auto fileNow = fs::file_time_type::clock::now();
    fs::last_write_time(oldBundle, fileNow - 8 * 24h);
    DiagnosticsLogger logger(logs(), DiagnosticsLogger::systemClock());
    EXPECT_FALSE(fs::exists(oldBundle));
    EXPECT_TRUE(fs::exists(newBundle));
}

TEST_F(DiagnosticsLoggerTest, ConcurrentWritersLoseNothing)
{
    DiagnosticsLogger logger(logs(), clock);
    constexpr int kThreads = 8;
    constexpr int kEvents = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < kEvents; ++i) {
                logger.record(Level::info, "stress", "event", {{"thread", std::to_string(t)}, {"i", std::to_string(i)}});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEvents));
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& line : lines) {
        seen.emplace(line["metadata"]["thread"], line["metadata"]["i"]);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEvents));
}

TEST_F(DiagnosticsLoggerTest, UnwritableLocationLosesEventsWithoutThrowing)
{
    const auto blocker = directory.path() / "blocker";
    testing::writeFile(blocker, "a file where the logs directory should be");
    DiagnosticsLogger logger(blocker / "logs", clock);
    EXPECT_NO_THROW(logger.record(Level::error, "test", "lost", {}));
    EXPECT_THROW(logger.diagnosticsLogFiles(), fs::filesystem_error);
}

TEST_F(DiagnosticsLoggerTest, ErrorEntryMergesErrorDetailsOverCallerKeys)
{
    DiagnosticsLogger logger(logs(), clock);
    logger.error("dictation",
        std::make_exception_ptr(MicrophoneRecorderError(MicrophoneRecorderError::Kind::emptyRecording)),
        "Operation failed", {{"errorCode", "caller"}, {"context", "Audio finalization"}});
    const auto lines = readLines(active());
    ASSERT_EQ(lines.size(), 1u);
    const auto metadata = lines[0]["metadata"];
    EXPECT_EQ(lines[0]["level"], "error");
    EXPECT_EQ(metadata["errorCode"], "4");
    EXPECT_EQ(metadata["errorType"], "HushnoteApp.MicrophoneRecorderError");
    EXPECT_EQ(metadata["errorDomain"], "HushnoteApp.MicrophoneRecorderError");
    EXPECT_EQ(metadata["context"], "Audio finalization");
    EXPECT_FALSE(metadata["stackTrace"].get<std::string>().empty());
}

class GenericPlatformError : public Error {
public:
    std::string description() const override { return "The operation couldn\u2019t be completed."; }
    std::string typeName() const override { return "Foundation.CocoaError"; }
    std::string domain() const override { return "NSCocoaErrorDomain"; }
    int code() const override { return 4; }
};

TEST(DiagnosticsError, UserMessageUsesTheDescriptionOrTheDomainAndCode)
{
    EXPECT_EQ(DiagnosticsError::userMessage(std::make_exception_ptr(MicrophoneRecorderError(
                                                MicrophoneRecorderError::Kind::permissionDenied)),
                  "Recording"),
        "Recording failed: Microphone permission is required");
    EXPECT_EQ(DiagnosticsError::userMessage(std::make_exception_ptr(GenericPlatformError{}), "Recording"),
        "Recording failed (NSCocoaErrorDomain code 4)");
    EXPECT_EQ(DiagnosticsError::userMessage(
                  std::make_exception_ptr(std::system_error(ENOSPC, std::generic_category(), "write")), "Saving"),
        "Saving failed: write: No space left on device");
}

} // namespace
} // namespace hushnote
