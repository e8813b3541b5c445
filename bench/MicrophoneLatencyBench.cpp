// How close recordings follow the key: from the pressed edge's start() to the first captured
// sample, and from the released edge's stop() to a closed WAV file. Both run against a private
// headless PulseAudio whose default source is fed in real time (as in the tests). Target for
// both: under 50 ms.
#include "HushnoteApp/LaunchAtLoginController.h"
#include "HushnoteApp/MicrophoneRecorder.h"
#include "HushnoteApp/Platform/DesktopPermissions.h"
#include "HushnoteApp/Platform/PulseAudioCaptureSource.h"
#include "tests/Support/LoopWait.h"
#include "tests/Support/PulseAudioServer.h"
#include "tests/Support/TemporaryDirectory.h"

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;

// Notes when the first samples of each stream reach the recorder.
class TimedCaptureSource final : public hushnote::AudioCaptureSource {
public:
    std::unique_ptr<hushnote::AudioCaptureStream> open() override
    {
        firstSample.store(Clock::time_point{});
        return std::make_unique<Stream>(inner_.open(), firstSample);
    }

    std::atomic<Clock::time_point> firstSample{};

private:
    class Stream final : public hushnote::AudioCaptureStream {
    public:
        Stream(std::unique_ptr<hushnote::AudioCaptureStream> inner, std::atomic<Clock::time_point>& first)
            : inner_(std::move(inner)), first_(first)
        {
        }
        bool read(std::span<std::int16_t> samples) override
        {
            const bool ok = inner_->read(samples);
            if (ok && first_.load() == Clock::time_point{}) {
                first_.store(Clock::now());
            }
            return ok;
        }
        std::size_t pendingSamples() override { return inner_->pendingSamples(); }

    private:
        std::unique_ptr<hushnote::AudioCaptureStream> inner_;
        std::atomic<Clock::time_point>& first_;
    };

    hushnote::PulseAudioCaptureSource inner_;
};

struct Setup {
    hushnote::testing::PulseAudioServer server;
    hushnote::testing::TemporaryDirectory directory;
    asio::io_context loop;
    asio::thread_pool blocking{1};
    hushnote::NoKeystrokeSender keystrokes{""};
    TimedCaptureSource source;
    hushnote::LaunchAtLoginController launchAtLogin{directory.path() / "autostart", "/usr/bin/hushnote"};
    hushnote::DesktopPermissions permissions{blocking.get_executor(), keystrokes, source, launchAtLogin};
    hushnote::SystemClock clock;
    hushnote::MicrophoneRecorder recorder{loop.get_executor(), permissions, source, directory.path() / "Hushnote", clock};

    void start()
    {
        bool started = false;
        asio::co_spawn(loop, recorder.start(), [&](std::exception_ptr error) {
            if (error) {
                std::rethrow_exception(error);
            }
            started = true;
        });
        hushnote::testing::runLoopUntil(loop, [&] { return started; });
    }
};

void BM_KeyDownToFirstCapturedSample(benchmark::State& state)
{
    Setup setup;
    setup.start(); // the first start checks the sound server once; later ones do not
    std::filesystem::remove(setup.recorder.stop());
    for (auto _ : state) {
        const auto begin = Clock::now();
        setup.start();
        hushnote::testing::runLoopUntil(setup.loop, [&] { return setup.source.firstSample.load() != Clock::time_point{}; });
        state.SetIterationTime(std::chrono::duration<double>(setup.source.firstSample.load() - begin).count());
        std::filesystem::remove(setup.recorder.stop());
    }
}
BENCHMARK(BM_KeyDownToFirstCapturedSample)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_KeyUpToClosedWav(benchmark::State& state)
{
    Setup setup;
    for (auto _ : state) {
        setup.start();
        const auto file = *setup.recorder.outputURL();
        // A short dictation's worth of audio.
        hushnote::testing::runLoopUntil(setup.loop, [&] { return std::filesystem::file_size(file) > 44 + 32000 / 5; });
        const auto begin = Clock::now();
        const auto closed = setup.recorder.stop();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        std::filesystem::remove(closed);
    }
}
BENCHMARK(BM_KeyUpToClosedWav)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

} // namespace
