// The parameter text of a call record: ProcParam into the ordered map, then GetValue on the
// keys CallFun reads and on every key found. No key or value may span a CR LF.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "dravik/tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the text and its NUL, so a read past the end is caught.
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<char> param(input.c_str(), input.c_str() + strlen(input.c_str()) + 1);

    std::map<std::string, std::string> dict;
    ProcParam(param.data(), dict);
    GetValue("comtype", dict);
    GetValue("nfunc", dict);
    for (const auto& kv : dict) {
        if (kv.first.find("\r\n") != std::string::npos ||
            kv.second.find("\r\n") != std::string::npos)
            abort();
        GetValue(kv.first, dict);
    }
    return 0;
}
