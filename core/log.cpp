// The service's log: every call appends one line to the day's file through a fresh
// CLogFile, so it holds no lock and no open file between calls.
#include "core/log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "core/home.h"
#include "morrow/LogClock.h"
#include "morrow/LogFile.h"

namespace {

std::atomic<bool> echoToStderr{false};
std::atomic<bool> toFile{true};

// One write, so that lines of threads logging at once do not interleave on stderr.
void Echo(const struct tm& local, const std::string& info) {
    char stamp[80];
    snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d,%02d:%02d:%02d] ", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const std::string line = stamp + info;
    ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    (void)written;  // nobody to tell
}

}  // namespace

void SetLogEcho(bool on) {
    echoToStderr.store(on, std::memory_order_relaxed);
}

void SetLogFile(bool on) {
    toFile.store(on, std::memory_order_relaxed);
}

void LOG(const char* szLog) {
    time_t t = LogClockNow();
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&t, &local);

    char fileName[100];
    snprintf(fileName, sizeof fileName, "main-%04d-%02d-%02d.log", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday);
    std::string info = std::string(szLog ? szLog : "") + "\n";
    if (toFile.load(std::memory_order_relaxed)) {
        CLogFile log;
        std::string dir = LogDir();
        log.SetLogPath(&dir[0]);
        log.LogFile(fileName, "%s", info.c_str());
    }
    if (echoToStderr.load(std::memory_order_relaxed)) Echo(local, info);
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
