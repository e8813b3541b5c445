#include "HushnoteApp/MicrophoneRecorder.h"

#include "Foundation/FileIO.h"
#include "Foundation/Uuid.h"
#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/MicrophoneRecorderError.h"

#include <sndfile.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace hushnote {

namespace {

constexpr int kSampleRate = 16000;
// A stop takes at most this much audio that is still buffered.
constexpr std::size_t kMaximumDrainSamples = kSampleRate * 30 / 1000;
// How long stop() waits for the capture thread to finish its current read.
constexpr auto kStopWait = std::chrono::milliseconds(250);

constexpr std::string_view kRecordingSuffix = "-whisper.wav";

} // namespace

namespace detail {

// Shared by the main loop and the capture thread. The thread owns `stream`; `file` and the
// flags are guarded by `mutex`.
struct RecordingSession {
    std::mutex mutex;
    std::condition_variable finishedCondition;
    SNDFILE* file = nullptr;
    bool stopRequested = false;
    // The open attempt is over and its outcome handed to the starting coroutine.
    bool opened = false;
    bool finished = false;
    std::unique_ptr<AudioCaptureStream> stream;

    void closeFile()
    {
        if (file != nullptr) {
            sf_close(file);
            file = nullptr;
        }
    }
};

} // namespace detail

namespace {

using detail::RecordingSession;

bool writeSamples(RecordingSession& session, std::span<const std::int16_t> samples)
{
    std::lock_guard lock(session.mutex);
    if (session.file == nullptr) {
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    return sf_write_short(session.file, samples.data(), count) == count;
}

// The capture thread's body once the stream runs. Returns true when the stream ended by
// itself while nobody was stopping the recording: only then is there someone to tell.
bool capture(RecordingSession& session)
{
    std::vector<std::int16_t> chunk(MicrophoneRecorder::kChunkSamples);
    bool ended = false;
    for (;;) {
        {
            std::lock_guard lock(session.mutex);
            if (session.stopRequested) {
                break;
            }
        }
        if (!session.stream->read(chunk)) {
            ended = true;
            break;
        }
        if (!writeSamples(session, chunk)) {
            break;
        }
    }
    if (!ended) {
        // Audio of the last moments before the release is still in the buffers.
        const auto pending = std::min(session.stream->pendingSamples(), kMaximumDrainSamples);
        if (pending > 0) {
            chunk.resize(pending);
            if (session.stream->read(chunk)) {
                writeSamples(session, chunk);
            }
        }
    }
    session.stream.reset();
    std::lock_guard lock(session.mutex);
    session.closeFile();
    session.finished = true;
    session.finishedCondition.notify_all();
    return ended && !session.stopRequested;
}

void removeQuietly(const std::filesystem::path& file)
{
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

} // namespace

MicrophoneRecorder::MicrophoneRecorder(Executor mainLoop, Permissions& permissions, AudioCaptureSource& source,
    std::filesystem::path directory, const Clock& clock)
    : mainLoop_(std::move(mainLoop))
    , permissions_(permissions)
    , source_(source)
    , directory_(std::move(directory))
    , clock_(clock)
{
}

MicrophoneRecorder::~MicrophoneRecorder()
{
    alive_.reset();
    if (!session_) {
        return;
    }
    if (starting_) {
        // The capture thread still holds the starting coroutine: let it hand that over (and
        // see the stop request) before this object goes.
        std::unique_lock lock(session_->mutex);
        session_->stopRequested = true;
        session_->finishedCondition.wait(lock, [&] { return session_->opened; });
    }
    const auto file = outputURL_;
    endSession();
    if (file) {
        removeQuietly(*file);
    }
}

std::filesystem::path MicrophoneRecorder::defaultDirectory()
{
    return ApplicationPaths::temporaryDirectory() / "Hushnote";
}

asio::awaitable<void> MicrophoneRecorder::openStream(std::shared_ptr<RecordingSession> session)
{
    std::weak_ptr<bool> alive = alive_;
    auto* recorder = this;
    auto initiation = [&](auto handler) {
        auto resumeOn = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
        captureThread_ = std::thread([session, &source = source_, handler = std::move(handler), resumeOn,
                                         mainLoop = mainLoop_, alive, recorder]() mutable {
            std::exception_ptr error;
            try {
                session->stream = source.open();
            } catch (...) {
                error = std::current_exception();
            }
            {
                // Holds work on the loop: let go of it now, since a thread stuck on a silent
                // source may outlive the loop.
                auto executor = std::move(resumeOn);
                asio::dispatch(executor, [handler = std::move(handler), error]() mutable { std::move(handler)(error); });
            }
            {
                std::lock_guard lock(session->mutex);
                session->opened = true;
                session->finishedCondition.notify_all();
            }
            if (error) {
                std::lock_guard lock(session->mutex);
                session->finished = true;
                session->finishedCondition.notify_all();
                return;
            }
            if (capture(*session)) {
                asio::post(mainLoop, [session, alive, recorder] {
                    // Only for the recording still running; a stop may have come first.
                    if (!alive.expired() && recorder->session_ == session && recorder->onCaptureEnded) {
                        recorder->onCaptureEnded();
                    }
                });
            }
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(
        initiation, asio::use_awaitable);
}

asio::awaitable<void> MicrophoneRecorder::start()
{
    if (session_ || starting_) {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::alreadyRecording);
    }
    starting_ = true;
    struct StartingGuard {
        bool& flag;
        ~StartingGuard() { flag = false; }
    } guard{starting_};

    if (!co_await permissions_.requestMicrophone()) {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::permissionDenied);
    }
    createPrivateDirectory(directory_);

    const auto file = directory_ / (makeUuidString() + std::string(kRecordingSuffix));
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw std::filesystem::filesystem_error(
            "cannot create recording", file, std::error_code(errno, std::generic_category()));
    }
    // Held until the file is closed, so a later start never mistakes it for a leftover.
    ::flock(fd, LOCK_EX | LOCK_NB);
    SF_INFO format{};
    format.samplerate = kSampleRate;
    format.channels = 1;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    SNDFILE* sound = sf_open_fd(fd, SFM_WRITE, &format, SF_TRUE);
    if (sound == nullptr) {
        ::close(fd);
        removeQuietly(file);
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::failedToStart);
    }

    auto session = std::make_shared<RecordingSession>();
    session->file = sound;
    session_ = session;
    std::exception_ptr openError;
    try {
        co_await openStream(session);
    } catch (...) {
        openError = std::current_exception();
    }
    if (openError) {
        captureThread_.join();
        session->closeFile();
        session_.reset();
        removeQuietly(file);
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::failedToStart);
    }
    outputURL_ = file;
    startedAt_ = clock_.now();
}

void MicrophoneRecorder::endSession()
{
    const auto session = std::move(session_);
    session_.reset();
    std::unique_lock lock(session->mutex);
    session->stopRequested = true;
    const bool finished = session->finishedCondition.wait_for(lock, kStopWait, [&] { return session->finished; });
    if (!finished) {
        // The source delivers nothing and the read blocks: close the file here and leave the
        // thread to end whenever its read returns.
        session->closeFile();
        lock.unlock();
        captureThread_.detach();
        return;
    }
    lock.unlock();
    captureThread_.join();
}

std::filesystem::path MicrophoneRecorder::stop()
{
    // While the stream is still opening, nothing records yet.
    if (!session_ || !outputURL_) {
        throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::notRecording);
    }
    const auto file = *outputURL_;
    endSession();
    outputURL_.reset();
    startedAt_.reset();

    const auto size = std::filesystem::file_size(file);
    if (size > kEmptyRecordingBytes) {
        return file;
    }
    removeQuietly(file);
    throw MicrophoneRecorderError(MicrophoneRecorderError::Kind::emptyRecording);
}

std::vector<std::filesystem::path> MicrophoneRecorder::deleteLeftoverRecordings(const std::filesystem::path& directory)
{
    std::vector<std::filesystem::path> deleted;
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    if (error) {
        return deleted;
    }
    for (const auto& entry : entries) {
        const auto name = entry.path().filename().string();
        if (name.size() <= kRecordingSuffix.size() || !name.ends_with(kRecordingSuffix)
            || !entry.is_regular_file(error) || entry.is_symlink(error)) {
            continue;
        }
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        // A recording in progress (of another Hushnote process) holds the lock.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(entry.path().c_str()) == 0) {
            deleted.push_back(entry.path());
        }
        ::close(fd);
    }
    return deleted;
}

} // namespace hushnote
