#include "HushnoteApp/Platform/XdgWorkspace.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace hushnote {

bool XdgWorkspace::open(const std::string& url)
{
    // The shell backgrounds xdg-open and exits at once, so the opener is adopted by init and
    // this call neither waits for it nor leaves a zombie.
    const char* script = "command -v xdg-open >/dev/null 2>&1 || exit 127\n"
                         "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &\n";
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script),
        const_cast<char*>("sh"), const_cast<char*>(url.c_str()), nullptr};
    pid_t shell = 0;
    if (::posix_spawn(&shell, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(shell, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace hushnote
