// Single-instance guard on a locked pid file, and lookups in the library's own settings file.
#include "dravik/tools.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <utility>

#include "tarrin/config.h"
#include "paths.h"

int lockfile(int fd) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

// On 0 the descriptor and its lock are kept for the life of the process on purpose:
// closing any descriptor of the file would drop the lock.
int IsRunning(const char* fileName) {
    int fd = open(fileName, O_RDWR | O_CREAT, 0644);
    if (fd < 0) return 1;
    if (lockfile(fd) < 0) {
        int err = errno;
        close(fd);
        return (err == EACCES || err == EAGAIN) ? -1 : 2;
    }
    char buf[16];
    snprintf(buf, sizeof buf, "%d", static_cast<int>(getpid()));
    const size_t size = strlen(buf) + 1;  // the digits and their NUL
    // The id is written even when truncating failed; the lock is what counts either way.
    const bool truncated = ftruncate(fd, 0) == 0;
    const bool written = write(fd, buf, size) == static_cast<ssize_t>(size);
    (void)truncated;
    (void)written;
    return 0;
}

std::string GetEnvVar(std::string key, std::string defaultValue) {
    Config conf;
    conf.LoadConfigFile(TOLVANE_ENV_CONF);  // a missing file leaves every key at its default
    return conf.GetValue(std::move(key), std::move(defaultValue));
}
