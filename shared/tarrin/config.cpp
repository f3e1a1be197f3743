// Settings store: one key=value file held as its lines. File I/O and splitting come from
// libdravik, resolved in the loading process.
#include "tarrin/config.h"

#include "dravik/tools.h"

namespace {

// True when `line` is a setting (exactly one "="); then gives its key and its value
// without the line's newline.
bool ParseSetting(std::string& line, std::string& key, std::string& value) {
    std::vector<std::string> pieces;
    SplitByComas(line, pieces, '=');
    if (pieces.size() != 2) return false;
    key = pieces[0];
    value = pieces[1].substr(0, pieces[1].size() - 1);
    return true;
}

}  // namespace

bool Config::LoadConfigFile(std::string file) {
    _file = file;
    vt_config.clear();
    return ReadFile(&vt_config, file.c_str());
}

std::string Config::GetValue(std::string key, std::string defaultValue) {
    std::string result;
    std::string lineKey, lineValue;
    // The last line of a key wins, an empty value included.
    for (std::string& line : vt_config)
        if (ParseSetting(line, lineKey, lineValue) && lineKey == key) result = lineValue;
    return result.empty() ? defaultValue : result;
}

void Config::SetValue(std::string& key, std::string& value) {
    if (key.empty() || value.empty()) return;
    std::string lineKey, lineValue;
    for (std::string& line : vt_config) {
        if (ParseSetting(line, lineKey, lineValue) && lineKey == key) {
            line = key + "=" + value + "\n";
            WriteFile(&vt_config, _file.c_str());
            return;
        }
    }
}
