#include "HushnoteCore/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace hushnote {

namespace {

std::system_error systemError(int code, const char* what) { return std::system_error(code, std::generic_category(), what); }

// Runs launches and reaps children on one thread that is never joined: it must outlive every
// child, so it lives as long as the process.
class Launcher {
public:
    static Launcher& instance()
    {
        static Launcher* launcher = new Launcher();
        return *launcher;
    }

    std::shared_ptr<ChildProcess> launch(const ChildProcess::Options& options)
    {
        struct Pending {
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
            std::shared_ptr<ChildProcess> child;
            int error = 0;
        };
        auto pending = std::make_shared<Pending>();
        post([this, options, pending] {
            int error = 0;
            auto child = spawn(options, error);
            std::lock_guard lock(pending->mutex);
            pending->child = std::move(child);
            pending->error = error;
            pending->finished = true;
            pending->done.notify_all();
        });
        std::unique_lock lock(pending->mutex);
        pending->done.wait(lock, [&] { return pending->finished; });
        if (!pending->child) {
            throw systemError(pending->error, "Could not start the child process");
        }
        return pending->child;
    }

private:
    Launcher() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        std::thread([this] { run(); }).detach();
    }

    void post(std::function<void()> task)
    {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        const uint64_t one = 1;
        [[maybe_unused]] auto written = write(wake_, &one, sizeof one);
    }

    std::shared_ptr<ChildProcess> spawn(const ChildProcess::Options& options, int& error)
    {
        int status[2];
        if (pipe2(status, O_CLOEXEC) != 0) {
            error = errno;
            return nullptr;
        }
        std::vector<std::string> argumentText{ChildProcess::guardExecutable().string(), std::to_string(getpid()),
            "3", options.executable.string()};
        argumentText.insert(argumentText.end(), options.arguments.begin(), options.arguments.end());
        std::vector<char*> argv;
        for (auto& text : argumentText) {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> environmentText;
        for (const auto& [name, value] : options.environment) {
            environmentText.push_back(name + "=" + value);
        }
        std::vector<char*> envp;
        for (auto& text : environmentText) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (options.outputDescriptor >= 0) {
            posix_spawn_file_actions_adddup2(&actions, options.outputDescriptor, 1);
            posix_spawn_file_actions_adddup2(&actions, options.outputDescriptor, 2);
        }
        posix_spawn_file_actions_adddup2(&actions, status[1], 3);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(status[1]);
        if (spawned != 0) {
            close(status[0]);
            error = spawned;
            return nullptr;
        }

        auto child = std::make_shared<ChildProcess>(pid);
        watch(child);
        int launched = 0;
        const ssize_t n = read(status[0], &launched, sizeof launched);
        close(status[0]);
        if (n != static_cast<ssize_t>(sizeof launched) || launched != 0) {
            error = n == static_cast<ssize_t>(sizeof launched) ? launched : ECHILD;
            child->terminate();
            return nullptr;
        }
        return child;
    }

    void watch(const std::shared_ptr<ChildProcess>& child)
    {
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, child->pid(), 0));
        if (fd < 0) {
            // Without pidfds the child is polled instead.
            polled_.push_back(child);
            return;
        }
        watched_.emplace(fd, child);
    }

    void run()
    {
        for (;;) {
            std::vector<pollfd> fds{{wake_, POLLIN, 0}};
            for (const auto& [fd, child] : watched_) {
                fds.push_back({fd, POLLIN, 0});
            }
            poll(fds.data(), fds.size(), polled_.empty() ? -1 : 100);
            if (fds[0].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] auto drained = read(wake_, &count, sizeof count);
            }
            std::deque<std::function<void()>> tasks;
            {
                std::lock_guard lock(mutex_);
                tasks.swap(tasks_);
            }
            for (auto& task : tasks) {
                task();
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                auto found = watched_.find(fds[i].fd);
                if (found != watched_.end()) {
                    found->second->collect(true);
                    close(found->first);
                    watched_.erase(found);
                }
            }
            for (auto it = polled_.begin(); it != polled_.end();) {
                (*it)->collect(false);
                it = (*it)->isRunning() ? it + 1 : polled_.erase(it);
            }
        }
    }

    const int wake_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    // Owned by the launcher thread.
    std::unordered_map<int, std::shared_ptr<ChildProcess>> watched_;
    std::vector<std::shared_ptr<ChildProcess>> polled_;
};

} // namespace

std::shared_ptr<ChildProcess> ChildProcess::launch(const Options& options)
{
    return Launcher::instance().launch(options);
}

std::filesystem::path ChildProcess::guardExecutable()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path(".") : self.parent_path()) / "hushnote-process-guard";
}

bool ChildProcess::isRunning() const
{
    std::lock_guard lock(mutex_);
    return !status_;
}

std::optional<int> ChildProcess::exitStatus() const
{
    std::lock_guard lock(mutex_);
    return status_;
}

void ChildProcess::collect(bool block)
{
    std::lock_guard lock(mutex_);
    int status = 0;
    if (!status_ && waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_) {
        status_ = status;
    }
}

void ChildProcess::terminate()
{
    // Under the lock the pid cannot be reaped and reused while it is signalled.
    std::lock_guard lock(mutex_);
    if (!status_) {
        kill(-pid_, SIGTERM);
    }
}

} // namespace hushnote
