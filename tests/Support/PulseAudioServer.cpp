#include "tests/Support/PulseAudioServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace hushnote::testing {

using namespace std::chrono_literals;

namespace {

bool acceptsConnections(const std::string& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

std::int16_t PulseAudioServer::rampSignal(std::uint64_t position)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(position & 0xFFFF));
}

PulseAudioServer::PulseAudioServer(Signal signal, bool feeding) : signal_(std::move(signal))
{
    feeding_ = feeding;
    // The feeder writes into a pipe the server may close when its source is removed.
    ::signal(SIGPIPE, SIG_IGN);
    const auto dir = runtime_.path();
    const auto socket = (dir / "native").string();
    const auto fifo = (dir / "microphone.fifo").string();
    {
        std::ofstream config(dir / "server.pa");
        config << "load-module module-native-protocol-unix socket=" << socket << " auth-anonymous=1\n"
               << "load-module module-pipe-source source_name=test_microphone file=" << fifo
               << " format=s16le rate=16000 channels=1\n"
               << "set-default-source test_microphone\n";
    }
    const auto home = dir / "home";
    std::filesystem::create_directories(home);
    server_ = std::make_unique<TestProcess>(TestProcess::Options{
        {"pulseaudio", "-n", "-F", (dir / "server.pa").string(), "--daemonize=no", "--exit-idle-time=-1",
            "--use-pid-file=no", "--disable-shm=yes", "--realtime=no", "--high-priority=no", "--system=no",
            "--log-target=stderr", "--log-level=error"},
        {{"XDG_RUNTIME_DIR", dir.string()}, {"HOME", home.string()}},
        {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "PULSE_SERVER"}, false, false});
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!acceptsConnections(socket) || !std::filesystem::exists(fifo)) {
        if (server_->waitForExit(0ms) || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("PulseAudio did not start");
        }
        std::this_thread::sleep_for(10ms);
    }
    address_ = "unix:" + socket;
    if (const char* previous = std::getenv("PULSE_SERVER")) {
        previousServer_ = previous;
    }
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
    feeder_ = std::thread([this, fifo] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::uint64_t position = 0;
        std::int16_t block[160];
        auto next = std::chrono::steady_clock::now();
        while (!stopping_) {
            next += 10ms;
            if (!feeding_) {
                std::this_thread::sleep_until(next);
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                for (auto& sample : block) {
                    if (queuedPosition_ < queued_.size()) {
                        sample = queued_[queuedPosition_++];
                    } else {
                        sample = signal_(position);
                    }
                    ++position;
                }
            }
            if (::write(fd, block, sizeof block) < 0) {
                break;
            }
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    });
}

PulseAudioServer::~PulseAudioServer()
{
    stopping_ = true;
    server_.reset();
    if (feeder_.joinable()) {
        feeder_.join();
    }
    if (previousServer_) {
        ::setenv("PULSE_SERVER", previousServer_->c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
}

void PulseAudioServer::play(std::vector<std::int16_t> samples)
{
    std::lock_guard lock(mutex_);
    queued_ = std::move(samples);
    queuedPosition_ = 0;
}

bool PulseAudioServer::playbackFinished()
{
    std::lock_guard lock(mutex_);
    return queuedPosition_ >= queued_.size();
}

void PulseAudioServer::removeSource()
{
    TestProcess pactl(TestProcess::Options{
        {"pactl", "unload-module", "module-pipe-source"}, {{"PULSE_SERVER", address_}}, {}, false, false});
    const auto status = pactl.waitForExit(30s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        throw std::runtime_error("pactl could not remove the source");
    }
}

} // namespace hushnote::testing
