// hushnote-process-guard PARENT-PID STATUS-FD EXECUTABLE [ARGUMENT...]
//
// Started by Hushnote as the leader of a new process group. It asks the kernel for SIGUSR1
// when the thread that started it exits, starts EXECUTABLE in the same group, reports the
// launch result (errno, 0 on success) as one int on STATUS-FD, and then:
//  - on SIGUSR1 or SIGHUP (Hushnote is gone): kills the whole group at once;
//  - on SIGTERM or SIGINT (a stop request): passes SIGTERM to the group, and kills the group
//    if the server is still there after a grace period;
//  - when the server exits: kills what is left of the group (helpers the server started)
//    and exits with the server's status.
// A server's own helpers stay in its group, so nothing outlives Hushnote.

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern char** environ;

namespace {

constexpr int kGraceSeconds = 5;

[[noreturn]] void killGroup()
{
    kill(0, SIGKILL);
    _exit(137);
}

void report(int fd, int value)
{
    const char* bytes = reinterpret_cast<const char*>(&value);
    std::size_t written = 0;
    while (written < sizeof value) {
        const ssize_t n = write(fd, bytes + written, sizeof value - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        return 64;
    }
    const pid_t expectedParent = static_cast<pid_t>(std::atol(argv[1]));
    const int statusFd = std::atoi(argv[2]);
    // Descriptors leaked by the parent stay out of the server.
    if (statusFd > 3) {
        close_range(3, static_cast<unsigned>(statusFd) - 1, 0);
    }
    close_range(static_cast<unsigned>(statusFd) + 1, ~0U, 0);

    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGUSR1, SIGHUP, SIGTERM, SIGINT, SIGCHLD}) {
        sigaddset(&handled, signal);
    }
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
    // The parent may have died before the request took effect.
    if (getppid() != expectedParent) {
        report(statusFd, ESRCH);
        killGroup();
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGUSR1, SIGHUP, SIGTERM, SIGINT, SIGCHLD, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, statusFd);

    pid_t server = 0;
    const int launched = posix_spawn(&server, argv[3], &actions, &attributes, argv + 3, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    report(statusFd, launched);
    if (launched != 0) {
        return 127;
    }

    bool stopping = false;
    for (;;) {
        siginfo_t info;
        int signal = 0;
        if (stopping) {
            const timespec grace{kGraceSeconds, 0};
            signal = sigtimedwait(&handled, &info, &grace);
            if (signal < 0 && errno == EAGAIN) {
                killGroup();
            }
        } else {
            signal = sigwaitinfo(&handled, &info);
        }
        if (signal < 0) {
            continue;
        }
        switch (signal) {
        case SIGUSR1:
        case SIGHUP:
            killGroup();
        case SIGTERM:
        case SIGINT:
            if (!stopping) {
                stopping = true;
                kill(0, SIGTERM);
            }
            break;
        case SIGCHLD:
            for (;;) {
                int status = 0;
                const pid_t reaped = waitpid(-1, &status, WNOHANG);
                if (reaped <= 0) {
                    break;
                }
                if (reaped == server) {
                    kill(0, SIGKILL);
                    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
                }
            }
            break;
        default:
            break;
        }
    }
}
