// Parameter text: CR LF separated key=value lines, optionally closed by a "." line right
// after a parameter line, parsed into an ordered map in which the first line of a key wins.
#include "dravik/tools.h"

#include <string.h>

bool ProcParam(char* param, std::map<std::string, std::string>& dictParam) {
    const char* pos = param;
    for (;;) {
        const char* end = strstr(pos, "\r\n");
        if (end == nullptr) return true;  // text after the last CR LF is never read
        if (end == pos) {
            pos += 2;
            continue;
        }
        const char* eq = static_cast<const char*>(memchr(pos, '=', static_cast<size_t>(end - pos)));
        if (eq == nullptr) return false;
        dictParam.emplace(std::string(pos, eq), std::string(eq + 1, end));
        pos = end + 2;
        if (strncmp(pos, ".\r\n", 3) == 0) return true;
    }
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
std::string GetValue(std::string key, std::map<std::string, std::string>& dictParam) {
    auto it = dictParam.find(key);
    return it == dictParam.end() ? std::string() : Trim(it->second);
}
