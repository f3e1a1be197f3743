// libtarrin: one key=value settings file held in memory. Lookups take the last matching
// line, updates rewrite the first one and never add a key.
#ifndef TOLVANE_TARRIN_CONFIG_H
#define TOLVANE_TARRIN_CONFIG_H

#include <string>
#include <utility>
#include <vector>

class Config {
public:
    // Remembers `file` as the rewrite target, then loads its lines (replacing any held ones).
    bool LoadConfigFile(std::string file);
    // The value of the last line for `key`, or `defaultValue` when absent or empty.
    std::string GetValue(std::string key, std::string defaultValue);
    // Replaces the first line for `key` and rewrites the file; silent no-op otherwise.
    void SetValue(std::string& key, std::string& value);

private:
    std::vector<std::pair<std::string, std::string>> vt_configInfo;
    std::vector<std::string> vt_config;
    std::string _file;
};

#endif
