// Settings are read at start and again for every message: a bad number is logged the first
// time its key and text are seen, not once per message.
#include "core/service_settings.h"

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

}  // namespace

Settings ReadServiceSettings() {
    std::vector<SettingNote> notes;
    Settings s = ReadSettings(MqConfPath(), &notes);
    for (const SettingNote& n : notes) {
        const std::string line = Line(n);
        if (FirstTime(line)) LOG(line.c_str());
    }
    return s;
}
