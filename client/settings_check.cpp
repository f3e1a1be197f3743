// --check-config: each line of the settings file as the reader takes it.
#include "client/settings_check.h"

#include <algorithm>
#include <fstream>

#include "core/log.h"
#include "core/settings.h"

namespace {

// Edits that turn `a` into `b` (Levenshtein), to name the key a misspelt one may mean.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string UnknownKey(const std::string& key) {
    std::string why = "unknown key \"" + VisibleControls(key.c_str()) + "\"";
    for (const SettingKey& k : SettingKeys()) {
        if (Distance(key, k.key) <= 2) return why + " (did you mean \"" + k.key + "\"?)";
    }
    return why;
}

const SettingKey* FindKey(const std::string& name) {
    static const std::vector<SettingKey> keys = SettingKeys();
    for (const SettingKey& k : keys) {
        if (k.key == name) return &k;
    }
    return nullptr;
}

// Why the line `line` is no setting the daemon takes as written; "" when it is one.
std::string LineProblem(const std::string& line, const Settings& s, bool* known) {
    *known = false;
    const size_t equals = std::count(line.begin(), line.end(), '=');
    if (equals == 0) return "no \"=\": not a setting (a comment begins with \"#\")";
    if (equals > 1) {
        return std::to_string(equals) + " \"=\": not a setting (a setting has exactly one)";
    }
    const size_t at = line.find('=');
    const std::string key = line.substr(0, at), value = line.substr(at + 1);
    const SettingKey* k = FindKey(key);
    if (!k) return UnknownKey(key);
    *known = true;
    // An empty value counts as absent: the key keeps its default.
    const std::string why = value.empty() ? "" : SettingValueProblem(key, value, s);
    if (why.empty()) return "";
    return key + (k->secret ? "=(not shown) " : "=\"" + VisibleControls(value.c_str()) + "\" ") +
           why;
}

bool Blank(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

SettingsCheck CheckSettingsFile(const std::string& file) {
    SettingsCheck check;
    const std::string name = file.substr(file.rfind('/') + 1);
    std::string why;
    if (!SettingsFileOpens(file, &why)) {
        check.problems.push_back(file + ": cannot be opened for reading and writing (" + why +
                                 "): the daemon would take every default");
        return check;
    }
    check.readable = true;
    const Settings s = ReadSettings(file);
    std::ifstream in(file, std::ios::binary);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (Blank(line) || line[0] == '#') continue;
        bool known = false;
        const std::string why = LineProblem(line, s, &known);
        if (known) ++check.settings;
        if (why.empty()) continue;
        std::string problem = name + ":" + std::to_string(number) + ": ";
        check.problems.push_back(problem.append(why));
    }
    return check;
}
