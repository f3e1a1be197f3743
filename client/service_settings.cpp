// Settings are read at start and again for every message: a bad number, or a pwd_file that
// others may read, is logged the first time it is seen, not once per message.
#include "client/service_settings.h"

#include <stdio.h>
#include <sys/stat.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client/home.h"
#include "client/log.h"

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

}  // namespace

Settings ReadServiceSettings() {
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
