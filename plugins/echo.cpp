// libecho.so: sample plug-in functions for trying the service and its tests.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "plugin.h"

// Answers "10000:" (go on) with what it was given: the previous output, the second
// argument and every parameter, as "prev=[...] arg=[...] key=value ...".
TOLVANE_PLUGIN(echo) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    std::string out = "10000:prev=[" + strOut + "] arg=[" + encodeParam + "]";
    for (const auto& kv : dictParam) out += " " + kv.first + "=" + kv.second;
    strOut = out;
}

// Answers the "text" parameter as it is, so a caller chooses any output, "10000:" or not.
TOLVANE_PLUGIN(say) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = dictParam["text"];
}

// Writes a partial output, then throws something that is not a std::exception.
TOLVANE_PLUGIN(boom) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = "10000:partial";
    throw 42;
}

// Takes "ms" milliseconds, then answers "10000:slept <ms>".
TOLVANE_PLUGIN(sleep) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    const std::string& ms = dictParam["ms"];
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(ms.c_str())));
    strOut = "10000:slept " + ms;
}
