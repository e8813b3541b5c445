#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

// A server process Hushnote starts and supervises. It runs in a process group of its own
// under hushnote-process-guard (installed beside Hushnote's executable), which kills the
// whole group, helpers the server started included, when Hushnote dies in any way. Launches
// happen on one thread that lives as long as the process, because the kernel's parent-death
// signal follows the thread that forked. That thread also reaps every child as soon as it
// exits, so no zombie is left. All members are thread-safe.
class ChildProcess {
public:
    struct Options {
        std::filesystem::path executable;
        std::vector<std::string> arguments;
        // The complete environment of the child; nothing else is inherited.
        std::map<std::string, std::string> environment;
        // Becomes the child's standard output and standard error.
        int outputDescriptor = -1;
    };

    // Starts the child and returns once it runs. Throws std::system_error when the guard or
    // the executable cannot be started.
    static std::shared_ptr<ChildProcess> launch(const Options& options);

    // The guard's pid, which is also the process group id.
    pid_t pid() const { return pid_; }
    // False once the child has exited (and been reaped).
    bool isRunning() const;
    // The wait status, once exited.
    std::optional<int> exitStatus() const;
    // Sends SIGTERM to the whole group; does not wait. Nothing happens once it has exited.
    void terminate();

    // The guard executable that launch() uses.
    static std::filesystem::path guardExecutable();

    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    // Reaps the child if it has exited (waiting for it when `block`). Launcher thread only.
    void collect(bool block);

private:
    const pid_t pid_;
    mutable std::mutex mutex_;
    std::optional<int> status_;
};

} // namespace hushnote
