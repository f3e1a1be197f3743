// Settings store: one key=value file held as its lines. File I/O and splitting come from
// libdravik, resolved in the loading process.
#include "tarrin/config.h"

#include <algorithm>

#include "dravik/tools.h"

namespace {

// True when `line` is a setting; then gives its key and its value without the line's last
// character (its newline). A setting is what splitting on "=" (SplitByComas, which drops an
// empty last piece) cuts into exactly two pieces: one "=" with something after it, or two
// with the second at the very end. Read up to the first NUL, as a C string would. This runs
// for every line and key of every settings read, so it works in place instead of splitting.
bool ParseSetting(const std::string& line, std::string& key, std::string& value) {
    const size_t end = std::min(line.find('\0'), line.size());
    const size_t first = line.find('=');
    if (first >= end) return false;
    const size_t second = line.find('=', first + 1);
    size_t valueEnd = end;
    if (second < end) {
        if (second != end - 1) return false;  // a third piece
        valueEnd = second;
    } else if (first + 1 == end) {
        return false;  // "key=" alone: the empty last piece is dropped
    }
    key.assign(line, 0, first);
    const size_t n = valueEnd - first - 1;
    value.assign(line, first + 1, n > 0 ? n - 1 : 0);
    return true;
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool Config::LoadConfigFile(std::string file) {
    _file = file;
    vt_config.clear();
    return ReadFile(&vt_config, file.c_str());
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes copies
std::string Config::GetValue(std::string key, std::string defaultValue) {
    std::string result;
    std::string lineKey, lineValue;
    // The last line of a key wins, an empty value included. Only a line that starts with
    // "key=" can hold the key, so the others are not parsed at all.
    for (std::string& line : vt_config) {
        if (line.size() <= key.size() || line[key.size()] != '=' ||
            line.compare(0, key.size(), key) != 0) {
            continue;
        }
        if (ParseSetting(line, lineKey, lineValue) && lineKey == key) result = lineValue;
    }
    return result.empty() ? defaultValue : result;
}

void Config::SetValue(std::string& key, std::string& value) {
    if (key.empty() || value.empty()) return;
    std::string lineKey, lineValue;
    for (std::string& line : vt_config) {
        if (ParseSetting(line, lineKey, lineValue) && lineKey == key) {
            line.assign(key).append("=").append(value).append("\n");
            WriteFile(&vt_config, _file.c_str());
            return;
        }
    }
}
