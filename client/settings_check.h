// --check-config's look at a settings file: every line the reader would not take as written,
// as "mq.conf:LINE: reason". The values themselves are judged by the reader's own table
// (SettingValueProblem), so the check and the reader cannot drift apart.
#ifndef TOLVANE_CLIENT_SETTINGS_CHECK_H
#define TOLVANE_CLIENT_SETTINGS_CHECK_H

#include <string>
#include <vector>

// What --check-config finds in a settings file, read as the daemon reads it.
struct SettingsCheck {
    bool readable = false;              // false: `problems` holds only why not
    int settings = 0;                   // lines that are settings of known keys
    std::vector<std::string> problems;  // "mq.conf:LINE: reason", in line order
};

// Every line of `file` that is not a setting (not exactly one "="), every unknown key and
// every value the reader would not take as written; lines counted as they stand, blank ones
// included. Blank lines and lines that begin with "#" are fine.
SettingsCheck CheckSettingsFile(const std::string& file);

#endif
