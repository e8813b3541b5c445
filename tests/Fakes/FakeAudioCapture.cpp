#include "tests/Fakes/FakeAudioCapture.h"

#include <algorithm>
#include <thread>

namespace hushnote::testing {

struct FakeAudioCaptureSource::State {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<std::int16_t> samples;
    Afterwards afterwards = Afterwards::pacedSilence;
    std::exception_ptr openError;
    std::size_t pending = 0;
    bool isReleased = false;
    int opens = 0;
};

namespace {

class FakeStream final : public AudioCaptureStream {
public:
    explicit FakeStream(std::shared_ptr<FakeAudioCaptureSource::State> state) : state_(std::move(state)) {}

    bool read(std::span<std::int16_t> out) override
    {
        std::unique_lock lock(state_->mutex);
        std::size_t filled = 0;
        while (filled < out.size() && position_ < state_->samples.size()) {
            out[filled++] = state_->samples[position_++];
        }
        if (filled == out.size()) {
            return true;
        }
        switch (state_->afterwards) {
        case FakeAudioCaptureSource::Afterwards::pacedSilence:
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(62'500 * (out.size() - filled) / 1000));
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(filled), out.end(), 0);
            return true;
        case FakeAudioCaptureSource::Afterwards::end: return false;
        case FakeAudioCaptureSource::Afterwards::block:
            state_->released.wait(lock, [&] { return state_->isReleased; });
            return false;
        }
        return false;
    }

    std::size_t pendingSamples() override
    {
        std::lock_guard lock(state_->mutex);
        return state_->pending;
    }

private:
    std::shared_ptr<FakeAudioCaptureSource::State> state_;
    std::size_t position_ = 0;
};

} // namespace

FakeAudioCaptureSource::FakeAudioCaptureSource() : state_(std::make_shared<State>()) {}

FakeAudioCaptureSource::~FakeAudioCaptureSource()
{
    release();
}

std::unique_ptr<AudioCaptureStream> FakeAudioCaptureSource::open()
{
    std::lock_guard lock(state_->mutex);
    ++state_->opens;
    if (state_->openError) {
        std::rethrow_exception(state_->openError);
    }
    return std::make_unique<FakeStream>(state_);
}

void FakeAudioCaptureSource::setScript(std::vector<std::int16_t> samples, Afterwards afterwards)
{
    std::lock_guard lock(state_->mutex);
    state_->samples = std::move(samples);
    state_->afterwards = afterwards;
}

void FakeAudioCaptureSource::setOpenError(std::exception_ptr error)
{
    std::lock_guard lock(state_->mutex);
    state_->openError = std::move(error);
}

void FakeAudioCaptureSource::setPendingSamples(std::size_t pending)
{
    std::lock_guard lock(state_->mutex);
    state_->pending = pending;
}

void FakeAudioCaptureSource::release()
{
    std::lock_guard lock(state_->mutex);
    state_->isReleased = true;
    state_->released.notify_all();
}

int FakeAudioCaptureSource::openCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->opens;
}

} // namespace hushnote::testing
