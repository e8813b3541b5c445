#include "HushnoteApp/UI/DesktopApplication.h"

#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/MicrophoneRecorder.h"
#include "HushnoteApp/TextInserter.h"
#include "tests/HushnoteApp/UI/QtTestSupport.h"
#include "tests/Support/PulseAudioServer.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WavFile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdlib>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRightControl = 105;

// Stands in for the speech engine: checks the recording it is given and answers a fixed text.
class RecordingInspector final : public SpeechTranscriber {
public:
    asio::awaitable<TranscriptResult> transcribe(fs::path audioURL, TranscriptionDiagnostics) override
    {
        recording = testing::WavFile::read(audioURL);
        co_return TranscriptResult{"dictated by voice", "test-double"};
    }
    std::optional<testing::WavFile> recording;
};

double energy(const std::vector<std::int16_t>& samples)
{
    double sum = 0;
    for (const auto sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return sum;
}

// Synthetic speech at the recorder's format, made with espeak-ng and sox.
std::vector<std::int16_t> spokenWords(const fs::path& directory, const std::string& words)
{
    const auto raw = (directory / "speech.wav").string();
    const auto converted = (directory / "speech16k.wav").string();
    testing::TestProcess speak(testing::TestProcess::Options{{"espeak-ng", "-w", raw, words}, {}, {}, false, false});
    EXPECT_EQ(speak.waitForExit(60s), 0);
    testing::TestProcess convert(testing::TestProcess::Options{
        {"sox", raw, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", converted}, {}, {}, false, false});
    EXPECT_EQ(convert.waitForExit(60s), 0);
    const auto wav = testing::WavFile::read(converted);
    return wav ? wav->samples : std::vector<std::int16_t>{};
}

struct ScopedEnvironment {
    ScopedEnvironment(const char* name, const std::string& value) : name_(name)
    {
        if (const char* previous = std::getenv(name)) {
            previous_ = previous;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> previous_;
};

TEST(DesktopApplication, HoldSpeakReleaseTypesTheDictationIntoTheFocusedField)
{
    testing::TemporaryDirectory home;
    ScopedEnvironment temporary("TMPDIR", home.path().string());
    ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").string());
    const auto speech = spokenWords(home.path(), "hello from the virtual microphone");
    ASSERT_GT(speech.size(), 16000u);
    testing::PulseAudioServer microphone([](std::uint64_t) { return std::int16_t{0}; });
    auto transcriber = std::make_shared<RecordingInspector>();
    ui::DesktopApplication app(
        ui::DesktopOptions{home.path() / "support", ApplicationPaths::resourceDirectory(), transcriber, nullptr});
    testing::PasteTarget target;
    ASSERT_TRUE(target.waitFor([](const std::string& line) { return line == "ready"; }));

    testing::testDisplay().pressPhysicalKey(kRightControl);
    ASSERT_TRUE(testing::spinUntil([&] { return app.microphoneRecorder().startedAt().has_value(); }));
    microphone.play(speech);
    ASSERT_TRUE(testing::spinUntil([&] { return microphone.playbackFinished(); }));
    testing::testDisplay().releasePhysicalKey(kRightControl);

    EXPECT_TRUE(target.waitForText("dictated by voice "));
    ASSERT_TRUE(transcriber->recording);
    const auto& recording = *transcriber->recording;
    EXPECT_TRUE(recording.isPcm16Wav());
    EXPECT_EQ(recording.sampleRate, 16000);
    EXPECT_EQ(recording.channels, 1);
    EXPECT_GE(recording.samples.size(), speech.size());
    // The speech itself was captured (the feed is silent around it), nearly all of it.
    EXPECT_GT(energy(recording.samples), 0.9 * energy(speech));

    ASSERT_TRUE(testing::spinUntil([&] { return app.coordinator().state() == DictationState::idle; }));
    EXPECT_TRUE(fs::is_empty(home.path() / "Hushnote")) << "the recording is deleted after use";
    ASSERT_TRUE(testing::spinUntil([&] { return !app.textInserter().restorePending(); }));
    EXPECT_FALSE(testing::clipboardAs("TARGETS")) << "the empty clipboard is empty again";
}

// The executable itself, as a user starts it.
struct ExecutableRun {
    explicit ExecutableRun(std::vector<std::string> arguments, bool withDisplay)
    {
        fs::create_directories(home.path() / "tmp" / "Hushnote");
        leftover = home.path() / "tmp" / "Hushnote" / "0D1C2D3E-0000-4000-8000-000000000000-whisper.wav";
        testing::writeFile(leftover, std::string(200, 'x'));
        std::map<std::string, std::string> environment{{"HUSHNOTE_APP_SUPPORT_DIR", (home.path() / "support").string()},
            {"XDG_CONFIG_HOME", (home.path() / "config").string()}, {"TMPDIR", (home.path() / "tmp").string()}};
        std::vector<std::string> unset;
        if (withDisplay) {
            environment["DISPLAY"] = testing::testDisplay().displayName();
        } else {
            unset.push_back("DISPLAY");
        }
        std::vector<std::string> argv{HUSHNOTE_EXECUTABLE};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        process = std::make_unique<testing::TestProcess>(
            testing::TestProcess::Options{argv, environment, unset, false, false});
    }

    std::string log() const
    {
        const auto file = home.path() / "support" / "logs" / "Hushnote-diagnostics.txt";
        return fs::exists(file) ? testing::readFile(file) : "";
    }
    bool waitForLog(const std::string& message)
    {
        return testing::spinUntil([&] { return log().find("\"" + message + "\"") != std::string::npos; });
    }

    testing::TemporaryDirectory home;
    fs::path leftover;
    std::unique_ptr<testing::TestProcess> process;
};

TEST(DesktopApplication, TheExecutableStartsOnX11AndQuitsCleanlyOnSignals)
{
    testing::PulseAudioServer microphone;
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ExecutableRun run({}, true);
        ASSERT_TRUE(run.waitForLog("Dictation key monitor started")) << run.log();
        EXPECT_FALSE(fs::exists(run.leftover)) << "a crashed run's recording is deleted at start";
        EXPECT_NE(run.log().find("Application started"), std::string::npos);
        const int status = run.process->terminate(signal, 20s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(run.log().find("\"Application terminating\""), std::string::npos);
    }
}

TEST(DesktopApplication, HeadlessModeNeedsNoDisplayAndQuitsCleanly)
{
    ExecutableRun run({"--headless"}, false);
    ASSERT_TRUE(run.waitForLog("Application started"));
    const int status = run.process->terminate(SIGINT, 20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(run.log().find("\"Application terminating\""), std::string::npos);

    ExecutableRun refused({}, false);
    const auto status2 = refused.process->waitForExit(20s);
    ASSERT_TRUE(status2);
    EXPECT_EQ(WEXITSTATUS(*status2), 1) << "without a display the desktop application explains and stops";
}

} // namespace
} // namespace hushnote
