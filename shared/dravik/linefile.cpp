// Line files: a text file read into a vector of lines, and written back over itself while a
// time-stamped copy "<file>-<stamp>" stands by. Copy, restore and clean-up use plain file
// calls, never a shell, so any file name is safe.
#include "dravik/tools.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

namespace {

// Serialises the backup stamp only. Held a full second after reading the clock, so no two
// calls in this process share a stamp, nor therefore a backup name.
std::mutex mutex;

std::string TakeStamp() {
    std::lock_guard<std::mutex> hold(mutex);
    char name[30];
    snprintf(name, sizeof name, "%lld", static_cast<long long>(time(nullptr)));
    // The whole second even when a signal handler cuts the sleep short.
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
    return name;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CopyData(int in, int out) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!WriteAll(out, buf, static_cast<size_t>(n))) return false;
    }
}

enum class Backup { kMade, kNoOriginal, kFailed };

// Copies `from` to `to` with the permission bits of `from`. A failed copy leaves nothing.
Backup MakeBackup(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno == ENOENT ? Backup::kNoOriginal : Backup::kFailed;
    struct stat st;
    int out = -1;
    if (fstat(in, &st) == 0 && S_ISREG(st.st_mode))
        out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    bool ok = out >= 0 && CopyData(in, out);
    close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    if (ok) return Backup::kMade;
    if (out >= 0) unlink(to.c_str());
    return Backup::kFailed;
}

// Puts the file back as it stood before the rewrite: the copy moves over it, or a file
// that did not exist before is removed again.
void Restore(Backup saved, const std::string& file, const std::string& backup, bool created) {
    if (saved == Backup::kMade) rename(backup.c_str(), file.c_str());
    else if (saved == Backup::kNoOriginal && created) unlink(file.c_str());
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        if (line != "\n") text += line;
    return text;
}

}  // namespace

bool ReadFile(std::vector<std::string>* vt_conf, const char* fileName) {
    // Opened for writing too: a file this process may not rewrite counts as unreadable.
    std::fstream in(fileName, std::ios::in | std::ios::out);
    if (!in.is_open()) return false;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) vt_conf->push_back(line + "\n");
    return true;
}

bool WriteFile(std::vector<std::string>* vt_conf, const char* fileName) {
    const std::string file = fileName;
    const std::string backup = file + "-" + TakeStamp();
    const Backup saved = MakeBackup(file, backup);
    // Without a copy standing by, a failed rewrite could not be undone.
    if (saved == Backup::kFailed) return false;

    int fd = open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        Restore(saved, file, backup, false);
        return false;
    }
    const std::string text = Join(*vt_conf);
    bool ok = WriteAll(fd, text.data(), text.size());
    if (close(fd) != 0) ok = false;
    if (!ok) {
        Restore(saved, file, backup, true);
        return false;
    }
    return unlink(backup.c_str()) == 0 || errno == ENOENT;
}
