// Text splitting and trimming: field and token cutting, blank trimming, path joining.
// All stateless; the splitters append to the caller's vector.
#include "dravik/tools.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A token that ends in "/>" loses both characters, one that ends in ">" loses that one.
std::string DropClosingBracket(std::string token) {
    size_t n = token.size();
    if (n >= 2 && token[n - 1] == '>' && token[n - 2] == '/') token.resize(n - 2);
    else if (n >= 1 && token[n - 1] == '>') token.resize(n - 1);
    return token;
}

}  // namespace

void SplitByComas(std::string& source, std::vector<std::string>& result, char split) {
    std::string field;
    // Up to the first NUL, as the text would read as a C string.
    for (const char* p = source.c_str(); *p != '\0'; ++p) {
        if (*p == split) {
            result.push_back(field);
            field.clear();
        } else {
            field += *p;
        }
    }
    if (!field.empty()) result.push_back(field);
}

void Split(std::string source, std::vector<std::string>& result) {
    if (!source.empty() && source.back() == '\n') source.pop_back();
    const size_t n = source.size();
    size_t firstCharNotSpace = 0;
    bool marks = false;
    bool preIsSpace = true;
    size_t i = 0;
    while (i < n) {
        const char c = source[i];
        if (c == '"' && (preIsSpace || marks)) {
            if (preIsSpace) {
                marks = true;
                firstCharNotSpace = i;
                preIsSpace = false;
            }
            ++i;
            // A quote closes the quoted token only when a blank follows it.
            if (marks && i < n && IsBlank(source[i])) {
                result.push_back(source.substr(firstCharNotSpace, i - firstCharNotSpace));
                marks = false;
                firstCharNotSpace = i;
            }
        } else if (marks) {
            ++i;
        } else if (IsBlank(c) && i == firstCharNotSpace) {
            firstCharNotSpace = ++i;
            preIsSpace = true;
        } else if (IsBlank(c)) {
            result.push_back(
                DropClosingBracket(source.substr(firstCharNotSpace, i - firstCharNotSpace)));
            firstCharNotSpace = ++i;
            preIsSpace = true;
        } else {
            ++i;
            preIsSpace = false;
        }
    }
    if (firstCharNotSpace < n)
        result.push_back(DropClosingBracket(source.substr(firstCharNotSpace)));
}

std::string Trim(std::string& str) {
    size_t first = 0;
    while (first < str.size() && IsBlank(str[first])) ++first;
    if (first == str.size()) return "";
    size_t last = str.size();
    while (IsBlank(str[last - 1])) --last;
    return str.substr(first, last - first);
}

std::string TrimLine(std::string src) {
    if (!src.empty()) src.pop_back();
    return src;
}

std::string AddSlash(std::string& str) {
    if (str.empty() || str.back() != '/') str += '/';
    return str;
}

std::string MakePath(std::string& path, std::string file) {
    AddSlash(path);
    path += (!file.empty() && file[0] == '/') ? file.substr(1) : file;
    return path;
}
