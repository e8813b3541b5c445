#pragma once

#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TestProcess.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hushnote::testing {

// A private headless PulseAudio server whose default source is a pipe fed in real time, in
// 10 ms blocks of 16 kHz mono 16-bit samples, as a microphone would deliver them. While it
// lives, PULSE_SERVER points this process's libpulse clients at it.
class PulseAudioServer {
public:
    // Gives the sample at each position of the endless feed.
    using Signal = std::function<std::int16_t(std::uint64_t position)>;

    // Throws std::runtime_error when the server does not come up.
    explicit PulseAudioServer(Signal signal = rampSignal, bool feeding = true);
    ~PulseAudioServer();

    const std::string& address() const { return address_; }
    const std::filesystem::path& runtimeDirectory() const { return runtime_.path(); }

    // Plays `samples` next, once, before returning to the signal.
    void play(std::vector<std::int16_t> samples);
    // Whether everything given to play() has been fed.
    bool playbackFinished();
    // While not feeding, the source delivers nothing at all (a stalled device).
    void setFeeding(bool feeding) { feeding_ = feeding; }
    // Unloads the pipe source, as when a USB microphone is pulled out.
    void removeSource();

    // Counts up by one per sample, wrapping at 16 bits: recordings must be consecutive.
    static std::int16_t rampSignal(std::uint64_t position);

private:
    void feed();

    TemporaryDirectory runtime_;
    std::string address_;
    std::optional<std::string> previousServer_;
    std::unique_ptr<TestProcess> server_;
    Signal signal_;
    std::mutex mutex_;
    std::vector<std::int16_t> queued_;
    std::size_t queuedPosition_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> feeding_{true};
    std::thread feeder_;
};

} // namespace hushnote::testing
