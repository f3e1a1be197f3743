// Settings are read at start and again for every message: a bad number, or a pwd_file that
// others may read, is logged the first time it is seen, not once per message. Under
// settings_reload=on_change the file is read again only when it changed, or a second after it was
// last read.
#include "core/service_settings.h"

#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/home.h"
#include "core/log.h"

namespace {

std::mutex loggedLock;
// Never freed: workers may still read settings while the process exits.
std::set<std::string>* logged = new std::set<std::string>;

bool FirstTime(const std::string& line) {
    std::lock_guard<std::mutex> lock(loggedLock);
    return logged->insert(line).second;
}

std::string Line(const SettingNote& n) {
    const size_t kShown = 64;  // enough to recognise the text, short enough for one line
    std::string text = VisibleControls(n.text.substr(0, kShown).c_str());
    if (n.text.size() > kShown) text += "...";
    const std::string used = n.usedText.empty() ? std::to_string(n.used) : n.usedText;
    return "setting " + n.key + "=\"" + text + "\" is " + n.why + ", " + used + " used";
}

// The first read's tls_verify, the start's, for every later read: an edit to "no" must not
// turn the check off for the replies of a running daemon.
bool StartVerify(bool read) {
    static const bool atStart = read;
    return atStart;
}

// The broker password is exposed when others than the service's user may read pwd_file.
void WarnOpenPwdFile(const std::string& file) {
    struct stat st;
    if (file.empty() || stat(file.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0) {
        return;
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string line = "pwd_file " + VisibleControls(file.c_str()) + " (mode " + mode +
                             ") can be read by group or others: keep the broker password in a "
                             "file only the service's user reads (chmod 600)";
    if (FirstTime(line)) LOG(line.c_str());
}

Settings ReadNow() {
    std::vector<SettingNote> notes;
    Settings s = ReadSettings(MqConfPath(), &notes);
    for (const SettingNote& n : notes) {
        const std::string line = Line(n);
        if (FirstTime(line)) LOG(line.c_str());
    }
    s.broker.tls.verify = StartVerify(s.broker.tls.verify);
    WarnOpenPwdFile(s.pwd_file);
    return s;
}

// What tells a changed file: an edit in place moves the change time or the size, a file
// renamed over it the inode.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec ctime = {0, 0};
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileStamp StampOf(const std::string& file) {
    FileStamp stamp;
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.ctime = st.st_ctim;
    return stamp;
}

// Also read again at least this often: an edit within the clock's granularity that keeps the
// size is still seen.
const std::chrono::seconds kReadAtLeastEvery(1);

std::atomic<bool> onChange{false};

struct Cached {
    FileStamp stamp;
    std::chrono::steady_clock::time_point readAt;
    std::shared_ptr<const Settings> settings;
};
std::mutex cachedLock;
// Never freed, as `logged`.
Cached* cached = new Cached;

}  // namespace

void SetSettingsReload(bool readOnChange) {
    onChange.store(readOnChange, std::memory_order_relaxed);
}

Settings ReadServiceSettings() {
    return *ReadServiceSettingsShared();
}

std::shared_ptr<const Settings> ReadServiceSettingsShared() {
    if (!onChange.load(std::memory_order_relaxed))
        return std::make_shared<const Settings>(ReadNow());
    const std::string file = MqConfPath();
    // Stamped before the read: a change while it reads shows at the next call.
    const FileStamp stamp = StampOf(file);
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(cachedLock);
        if (cached->settings && cached->stamp == stamp && now - cached->readAt < kReadAtLeastEvery)
            return cached->settings;
    }
    auto s = std::make_shared<const Settings>(ReadNow());
    std::lock_guard<std::mutex> hold(cachedLock);
    cached->stamp = stamp;
    cached->readAt = now;
    cached->settings = s;
    return s;
}
