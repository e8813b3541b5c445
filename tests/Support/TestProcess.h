#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hushnote::testing {

// A child process for tests: spawned with extra environment, stdout (and optionally stderr)
// read line by line, terminated and reaped on destruction.
class TestProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        // Set in the child on top of this process's environment.
        std::map<std::string, std::string> environment;
        std::vector<std::string> unsetEnvironment;
        bool captureOutput = true;
        bool mergeStderr = false;
    };

    // Throws std::runtime_error when the program cannot be started.
    explicit TestProcess(Options options);
    ~TestProcess();
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next complete output line, waiting at most `timeout`; nullopt on timeout or end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Waits for a line for which `matches` holds, skipping others.
    template <typename Predicate>
    std::optional<std::string> waitForLine(Predicate matches, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            auto line = readLine(left);
            if (!line) {
                if (exited_) {
                    return std::nullopt;
                }
                continue;
            }
            if (matches(*line)) {
                return line;
            }
        }
    }

    // The exit status (waitpid form) once it ended within `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // Sends `signal`, waits up to `timeout`, then kills. Returns the waitpid status.
    int terminate(int signal, std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffer_;
    bool exited_ = false;
    bool reaped_ = false;
    int status_ = 0;
};

} // namespace hushnote::testing
