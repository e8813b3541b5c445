#include "HushnoteApp/LaunchAtLoginController.h"
#include "HushnoteApp/MicrophoneRecorder.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/Platform/DesktopPermissions.h"
#include "HushnoteApp/Platform/PulseAudioCaptureSource.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/LoopWait.h"
#include "tests/Support/PulseAudioServer.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WavFile.h"

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The recorder as the application builds it, on whatever server PULSE_SERVER names.
struct MicrophoneHarness {
    std::exception_ptr run(asio::awaitable<void> operation)
    {
        std::exception_ptr result;
        bool done = false;
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr e) {
            result = e;
            done = true;
        });
        EXPECT_TRUE(testing::runLoopUntil(loop, [&] { return done; }));
        return result;
    }
    std::optional<MicrophoneRecorderError::Kind> startError()
    {
        if (const auto error = run(recorder.start())) {
            try {
                std::rethrow_exception(error);
            } catch (const MicrophoneRecorderError& e) {
                return e.kind();
            }
        }
        return std::nullopt;
    }
    // Waits until the file holds at least `seconds` of audio.
    bool waitForAudio(double seconds)
    {
        const auto file = *recorder.outputURL();
        const auto bytes = static_cast<std::uintmax_t>(44 + seconds * 32000);
        return testing::runLoopUntil(loop, [&] { return fs::file_size(file) >= bytes; });
    }

    testing::TemporaryDirectory temporary;
    asio::io_context loop;
    asio::thread_pool blocking{1};
    testing::FakeKeystrokeSender keystrokes;
    PulseAudioCaptureSource source;
    LaunchAtLoginController launchAtLogin{temporary.path() / "autostart", "/usr/bin/hushnote"};
    DesktopPermissions permissions{blocking.get_executor(), keystrokes, source, launchAtLogin};
    SystemClock clock;
    MicrophoneRecorder recorder{loop.get_executor(), permissions, source, temporary.path() / "Hushnote", clock};
};

// Every sample one more than the one before: nothing lost, doubled or reordered.
void expectConsecutive(const std::vector<std::int16_t>& samples)
{
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (static_cast<std::uint16_t>(samples[i]) != static_cast<std::uint16_t>(samples[i - 1] + 1)) {
            FAIL() << "gap at sample " << i << ": " << samples[i - 1] << " then " << samples[i];
        }
    }
}

TEST(PulseAudioMicrophone, RecordsTheDefaultSourceAsA16kMonoWavWithoutGaps)
{
    testing::PulseAudioServer server;
    MicrophoneHarness h;
    EXPECT_EQ(h.permissions.microphoneAuthorization(), PermissionState::notDetermined);
    ASSERT_FALSE(h.startError());
    EXPECT_EQ(h.permissions.microphoneAuthorization(), PermissionState::authorized);
    EXPECT_EQ(h.startError(), MicrophoneRecorderError::Kind::alreadyRecording);
    ASSERT_TRUE(h.waitForAudio(0.5));
    const auto file = h.recorder.stop();
    const auto wav = testing::WavFile::read(file);
    ASSERT_TRUE(wav);
    EXPECT_TRUE(wav->isPcm16Wav());
    EXPECT_EQ(wav->sampleRate, 16000);
    EXPECT_EQ(wav->channels, 1);
    EXPECT_GE(wav->samples.size(), 8000u);
    expectConsecutive(wav->samples);
    EXPECT_EQ(fs::file_size(file), 44 + 2 * wav->samples.size()) << "the canonical 44-byte header";
}

TEST(PulseAudioMicrophone, ASourceThatDeliversNothingGivesAnEmptyRecording)
{
    testing::PulseAudioServer server(testing::PulseAudioServer::rampSignal, false);
    MicrophoneHarness h;
    ASSERT_FALSE(h.startError());
    const auto file = *h.recorder.outputURL();
    try {
        h.recorder.stop();
        FAIL() << "a recording without audio was returned";
    } catch (const MicrophoneRecorderError& error) {
        EXPECT_EQ(error.kind(), MicrophoneRecorderError::Kind::emptyRecording);
    }
    EXPECT_FALSE(fs::exists(file));
    // Let the capture thread's read end before the server goes, as a real device would.
    server.setFeeding(true);
}

TEST(PulseAudioMicrophone, ASourceThatDisappearsEndsTheRecordingKeepingWhatWasCaptured)
{
    testing::PulseAudioServer server;
    MicrophoneHarness h;
    int ended = 0;
    h.recorder.onCaptureEnded = [&] { ++ended; };
    ASSERT_FALSE(h.startError());
    ASSERT_TRUE(h.waitForAudio(0.3));
    server.removeSource();
    ASSERT_TRUE(testing::runLoopUntil(h.loop, [&] { return ended == 1; }));
    const auto wav = testing::WavFile::read(h.recorder.stop());
    ASSERT_TRUE(wav);
    EXPECT_GE(wav->samples.size(), 4800u);
    expectConsecutive(wav->samples);
}

TEST(PulseAudioMicrophone, WithoutASoundServerThePermissionIsDenied)
{
    testing::TemporaryDirectory nowhere;
    ::setenv("PULSE_SERVER", ("unix:" + (nowhere.path() / "no-server").string()).c_str(), 1);
    MicrophoneHarness h;
    EXPECT_EQ(h.startError(), MicrophoneRecorderError::Kind::permissionDenied);
    EXPECT_EQ(h.permissions.microphoneAuthorization(), PermissionState::denied);
    EXPECT_FALSE(fs::exists(h.temporary.path() / "Hushnote") && !fs::is_empty(h.temporary.path() / "Hushnote"));
    ::unsetenv("PULSE_SERVER");
}

} // namespace
} // namespace hushnote
