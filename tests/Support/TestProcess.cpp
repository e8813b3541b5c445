#include "tests/Support/TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace hushnote::testing {

TestProcess::TestProcess(Options options)
{
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            environment[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& name : options.unsetEnvironment) {
        environment.erase(name);
    }
    for (const auto& [name, value] : options.environment) {
        environment[name] = value;
    }
    std::vector<std::string> environmentStrings;
    for (const auto& [name, value] : environment) {
        environmentStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : environmentStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& argument : options.argv) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (options.captureOutput) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        if (options.mergeStderr) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        }
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a test's Ctrl+C reaches the test alone and cleanup works.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    const int result = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (options.captureOutput) {
        ::close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    if (result != 0) {
        if (output_ >= 0) {
            ::close(output_);
        }
        throw std::runtime_error("cannot start " + options.argv.at(0) + ": " + std::strerror(result));
    }
}

TestProcess::~TestProcess()
{
    if (!reaped_) {
        terminate(SIGTERM, std::chrono::seconds(5));
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

std::optional<std::string> TestProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        if (output_ < 0 || exited_) {
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{output_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const auto n = ::read(output_, chunk, sizeof chunk);
        if (n <= 0) {
            exited_ = true;
            if (!buffer_.empty()) {
                std::string line = std::move(buffer_);
                buffer_.clear();
                return line;
            }
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<int> TestProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (reaped_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            status_ = status;
            return status;
        }
        if (done < 0 && errno != EINTR) {
            reaped_ = true;
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int TestProcess::terminate(int signal, std::chrono::milliseconds timeout)
{
    if (reaped_) {
        return status_;
    }
    ::kill(pid_, signal);
    if (const auto status = waitForExit(timeout)) {
        return *status;
    }
    ::kill(pid_, SIGKILL);
    return waitForExit(std::chrono::seconds(10)).value_or(-1);
}

} // namespace hushnote::testing
