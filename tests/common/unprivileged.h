// Runs a check in a child process without root's right to open any file, so permission
// bits take effect even when the tests run as root.
#ifndef TOLVANE_TEST_UNPRIVILEGED_H
#define TOLVANE_TEST_UNPRIVILEGED_H

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testutil {

// Exit code of a child that could not give up root: callers skip the test.
constexpr int kCannotDrop = 77;

// Runs `check` in a child, as "nobody" when this process is root, and returns the child's
// exit code (`check`'s result), kCannotDrop, or -1 when the child did not exit normally.
inline int RunUnprivileged(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (geteuid() == 0) {
            const struct passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                setuid(nobody->pw_uid) != 0)
                _exit(kCannotDrop);
        }
        _exit(check());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace testutil

#endif
