#include "HushnoteApp/MicrophoneRecorder.h"
#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/Platform/AudioCaptureError.h"
#include "tests/Fakes/FakeAudioCapture.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/LoopWait.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WavFile.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <numeric>
#include <regex>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using Afterwards = testing::FakeAudioCaptureSource::Afterwards;
using Kind = MicrophoneRecorderError::Kind;

std::vector<std::int16_t> ramp(std::size_t count)
{
    std::vector<std::int16_t> samples(count);
    std::iota(samples.begin(), samples.end(), std::int16_t{1});
    return samples;
}

unsigned modeOf(const fs::path& path)
{
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

struct RecorderHarness {
    // Runs `operation` to its end on the loop; its exception, if any, is returned.
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

    std::optional<Kind> startError()
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

    std::vector<fs::path> files() const
    {
        std::vector<fs::path> out;
        if (fs::exists(directory)) {
            for (const auto& entry : fs::directory_iterator(directory)) {
                out.push_back(entry.path());
            }
        }
        return out;
    }

    testing::TemporaryDirectory temporary;
    fs::path directory = temporary.path() / "Hushnote";
    asio::io_context loop;
    testing::FakePermissions permissions;
    testing::FakeAudioCaptureSource source;
    SystemClock clock;
    MicrophoneRecorder recorder{loop.get_executor(), permissions, source, directory, clock};
};

TEST(MicrophoneRecorder, RecordsAPrivate16kMonoWavNamedByUuid)
{
    RecorderHarness h;
    h.source.setScript(ramp(1600), Afterwards::pacedSilence);
    ASSERT_FALSE(h.startError());
    ASSERT_TRUE(h.recorder.startedAt());
    ASSERT_TRUE(h.recorder.outputURL());
    const auto recording = *h.recorder.outputURL();
    EXPECT_TRUE(std::regex_match(recording.filename().string(),
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}-whisper\\.wav")));
    EXPECT_EQ(recording.parent_path(), h.directory);
    EXPECT_EQ(modeOf(h.directory), 0700u);
    EXPECT_EQ(modeOf(recording), 0600u);

    ASSERT_TRUE(testing::runLoopUntil(h.loop, [&] { return fs::file_size(recording) > 44 + 3200; }));
    const auto file = h.recorder.stop();
    EXPECT_EQ(file, recording);
    EXPECT_FALSE(h.recorder.startedAt());
    const auto wav = testing::WavFile::read(file);
    ASSERT_TRUE(wav);
    EXPECT_TRUE(wav->isPcm16Wav());
    EXPECT_EQ(wav->sampleRate, 16000);
    EXPECT_EQ(wav->channels, 1);
    ASSERT_GE(wav->samples.size(), 1600u);
    EXPECT_EQ(std::vector<std::int16_t>(wav->samples.begin(), wav->samples.begin() + 1600), ramp(1600));
}

TEST(MicrophoneRecorder, ASecondStartFailsAndLeavesTheRecordingRunning)
{
    RecorderHarness h;
    ASSERT_FALSE(h.startError());
    const auto first = h.recorder.outputURL();
    EXPECT_EQ(h.startError(), Kind::alreadyRecording);
    EXPECT_EQ(h.recorder.outputURL(), first);
    EXPECT_EQ(h.source.openCount(), 1);
    EXPECT_EQ(h.files().size(), 1u);
}

TEST(MicrophoneRecorder, StopWithoutARecordingFails)
{
    RecorderHarness h;
    try {
        h.recorder.stop();
        FAIL() << "stop succeeded";
    } catch (const MicrophoneRecorderError& error) {
        EXPECT_EQ(error.kind(), Kind::notRecording);
    }
}

TEST(MicrophoneRecorder, FailedStartsLeaveNoFileBehind)
{
    {
        RecorderHarness h;
        h.permissions.microphoneGrant = false;
        EXPECT_EQ(h.startError(), Kind::permissionDenied);
        EXPECT_EQ(h.source.openCount(), 0);
        EXPECT_TRUE(h.files().empty());
    }
    {
        RecorderHarness h;
        h.source.setOpenError(std::make_exception_ptr(
            AudioCaptureError(AudioCaptureError::Kind::streamRefused, "No such entity")));
        EXPECT_EQ(h.startError(), Kind::failedToStart);
        EXPECT_TRUE(h.files().empty());
        EXPECT_FALSE(h.recorder.startedAt());
    }
}

TEST(MicrophoneRecorder, ARecordingWithoutAudioIsDeletedAsEmpty)
{
    // The source delivers nothing at all: stop() must not hang on the blocked read.
    RecorderHarness h;
    h.source.setScript({}, Afterwards::block);
    ASSERT_FALSE(h.startError());
    const auto recording = *h.recorder.outputURL();
    try {
        h.recorder.stop();
        FAIL() << "stop returned a file";
    } catch (const MicrophoneRecorderError& error) {
        EXPECT_EQ(error.kind(), Kind::emptyRecording);
    }
    EXPECT_FALSE(fs::exists(recording));
    h.source.release();
}

TEST(MicrophoneRecorder, ASourceThatDisappearsEndsTheRecordingKeepingItsAudio)
{
    RecorderHarness h;
    h.source.setScript(ramp(3200), Afterwards::end);
    int ended = 0;
    h.recorder.onCaptureEnded = [&] { ++ended; };
    ASSERT_FALSE(h.startError());
    ASSERT_TRUE(testing::runLoopUntil(h.loop, [&] { return ended == 1; }));
    const auto wav = testing::WavFile::read(h.recorder.stop());
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->samples, ramp(3200));
}

TEST(MicrophoneRecorder, StopTakesWhatIsStillBuffered)
{
    RecorderHarness h;
    h.source.setScript(ramp(160 * 3), Afterwards::pacedSilence);
    h.source.setPendingSamples(80);
    ASSERT_FALSE(h.startError());
    const auto recording = *h.recorder.outputURL();
    ASSERT_TRUE(testing::runLoopUntil(h.loop, [&] { return fs::file_size(recording) >= 44 + 2 * 480; }));
    const auto wav = testing::WavFile::read(h.recorder.stop());
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->samples.size() % 160, 80u) << "whole chunks plus the 80 buffered samples";
}

TEST(MicrophoneRecorder, LeftoverRecordingsAreDeletedUnlessARecordingHoldsThem)
{
    testing::TemporaryDirectory dir;
    const auto leftover = dir.path() / "6F1C2D3E-0000-4000-8000-000000000000-whisper.wav";
    const auto inUse = dir.path() / "7F1C2D3E-0000-4000-8000-000000000000-whisper.wav";
    const auto unrelated = dir.path() / "notes.txt";
    for (const auto& file : {leftover, inUse, unrelated}) {
        testing::writeFile(file, std::string(100, 'x'));
    }
    const int held = ::open(inUse.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    // flock locks belong to the open file: a second open in this process still conflicts.
    const auto deleted = MicrophoneRecorder::deleteLeftoverRecordings(dir.path());
    ::close(held);
    EXPECT_EQ(deleted, std::vector<fs::path>{leftover});
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(inUse));
    EXPECT_TRUE(fs::exists(unrelated));
    EXPECT_TRUE(MicrophoneRecorder::deleteLeftoverRecordings(dir.path() / "missing").empty());
}

TEST(MicrophoneRecorder, TheRecordingsFolderIsMadePrivateAndMustBeOurs)
{
    {
        RecorderHarness h;
        fs::create_directories(h.directory);
        ::chmod(h.directory.c_str(), 0777);
        ASSERT_FALSE(h.startError());
        EXPECT_EQ(modeOf(h.directory), 0700u);
    }
    {
        // A link planted in a shared /tmp: refused rather than followed.
        RecorderHarness h;
        fs::create_directories(h.temporary.path() / "elsewhere");
        fs::create_directory_symlink(h.temporary.path() / "elsewhere", h.directory);
        const auto error = h.run(h.recorder.start());
        ASSERT_TRUE(error);
        EXPECT_THROW(std::rethrow_exception(error), fs::filesystem_error);
        EXPECT_TRUE(fs::is_empty(h.temporary.path() / "elsewhere"));
    }
    if (::geteuid() == 0) {
        // A folder planted by another user: refused as well.
        RecorderHarness h;
        fs::create_directories(h.directory);
        ASSERT_EQ(::chown(h.directory.c_str(), 4242, static_cast<gid_t>(-1)), 0);
        const auto error = h.run(h.recorder.start());
        ASSERT_TRUE(error);
        EXPECT_THROW(std::rethrow_exception(error), fs::filesystem_error);
        EXPECT_TRUE(fs::is_empty(h.directory));
    }
}

} // namespace
} // namespace hushnote
