// The service's log: every call appends one line to the day's file through a fresh
// CLogFile, so it holds no lock and no open file between calls; or, with log_file=kept_open,
// the day's file stays open and each entry is one write to it.
#include "core/log.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "core/home.h"
#include "morrow/LogClock.h"
#include "morrow/LogFile.h"

namespace {

std::atomic<bool> echoToStderr{false};
std::atomic<bool> toFile{true};
std::atomic<bool> keptOpen{false};

// The second's stamp, "[YYYY-MM-DD,HH:MM:SS] ", and the day's file name, worked out once per
// second on each thread: localtime_r and the formatting cost more than the rest of an entry.
struct Stamp {
    bool made = false;
    time_t t = 0;
    char text[32];
    char fileName[32];
};

const Stamp& StampOf(time_t t) {
    thread_local Stamp stamp;
    if (stamp.made && stamp.t == t) return stamp;
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&t, &local);
    snprintf(stamp.text, sizeof stamp.text, "[%04d-%02d-%02d,%02d:%02d:%02d] ",
             local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec);
    snprintf(stamp.fileName, sizeof stamp.fileName, "main-%04d-%02d-%02d.log", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday);
    stamp.t = t;
    stamp.made = true;
    return stamp;
}

// The entry as the log-file writer stamps it: "[YYYY-MM-DD,HH:MM:SS] text".
std::string Entry(const Stamp& stamp, const std::string& info) {
    std::string entry;
    entry.reserve(strlen(stamp.text) + info.size());
    return entry.append(stamp.text).append(info);
}

// One write, so that lines of threads logging at once do not interleave.
void WriteWhole(int fd, const std::string& line) {
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;  // nobody to tell
}

// The day's file, kept open. It is opened anew when the day's name changes or when the file
// at its path is no longer the one open (moved away by logrotate or an operator, removed).
class KeptFile {
public:
    void Append(const std::string& path, const std::string& entry) {
        std::lock_guard<std::mutex> hold(_lock);
        if (!Current(path)) Open(path);
        if (_fd >= 0) WriteWhole(_fd, entry);
    }

private:
    bool Current(const std::string& path) const {
        struct stat st;
        return _fd >= 0 && path == _path && stat(path.c_str(), &st) == 0 && st.st_dev == _dev &&
               st.st_ino == _ino;
    }

    void Open(const std::string& path) {
        if (_fd >= 0) close(_fd);
        const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
        _fd = open(path.c_str(), flags, 0666);
        if (_fd < 0) {
            mkdir(LogDir().c_str(), 0777);
            _fd = open(path.c_str(), flags, 0666);
        }
        struct stat st;
        if (_fd >= 0 && fstat(_fd, &st) == 0) {
            _dev = st.st_dev;
            _ino = st.st_ino;
        }
        _path = path;
    }

    std::mutex _lock;
    int _fd = -1;
    std::string _path;
    dev_t _dev = 0;
    ino_t _ino = 0;
};

// Never freed: workers may still log while the process exits.
KeptFile* kept = new KeptFile;

}  // namespace

void SetLogEcho(bool on) {
    echoToStderr.store(on, std::memory_order_relaxed);
}

void SetLogFile(bool on) {
    toFile.store(on, std::memory_order_relaxed);
}

void SetLogKeptOpen(bool on) {
    keptOpen.store(on, std::memory_order_relaxed);
}

void LOG(const char* szLog) {
    const Stamp& stamp = StampOf(LogClockNow());
    const bool file = toFile.load(std::memory_order_relaxed);
    const bool keepOpen = file && keptOpen.load(std::memory_order_relaxed);
    const bool echo = echoToStderr.load(std::memory_order_relaxed);
    std::string info = std::string(szLog ? szLog : "") + "\n";
    if (file && !keepOpen) {
        CLogFile log;
        std::string dir = LogDir();
        log.SetLogPath(&dir[0]);
        log.LogFile(stamp.fileName, "%s", info.c_str());
    }
    if (!keepOpen && !echo) return;
    const std::string entry = Entry(stamp, info);
    if (keepOpen) kept->Append(LogDir() + "/" + stamp.fileName, entry);
    if (echo) WriteWhole(STDERR_FILENO, entry);
}

std::string VisibleControls(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += *p;
        }
    }
    return out;
}
