// The text splitters. The first input byte is SplitByComas' separator, the rest the text.
// SplitByComas must give back its text (up to the first NUL) when its fields are joined
// again; Split and Trim only have to survive it.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "dravik/tools.h"

namespace {

void CheckSplitByComas(std::string text, char split) {
    std::vector<std::string> fields;
    SplitByComas(text, fields, split);
    const std::string read(text.c_str());
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i)
        joined += (i ? std::string(1, split) : "") + fields[i];
    // A closing separator ends the last field without starting an empty one.
    if (!read.empty() && read.back() == split) joined += split;
    if (joined != read) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char split = static_cast<char>(data[0]);
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckSplitByComas(text, split);

    std::vector<std::string> tokens;
    Split(text, tokens);
    size_t total = 0;
    for (const std::string& t : tokens) total += t.size();
    if (total > text.size()) abort();

    const std::string trimmed = Trim(text);
    if (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t' ||
                             trimmed.back() == ' ' || trimmed.back() == '\t'))
        abort();
    return 0;
}
