// The settings file: the input becomes a key=value file that Config loads, then GetValue on
// the service's keys (through its one reader, ReadSettings) and on the input's first key.
// A value read back never holds a line break or an "=". SetValue is left out: every rewrite
// waits a whole second for its backup stamp.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "core/settings.h"
#include "scratch.h"
#include "tarrin/config.h"

namespace {

std::string settingsFile;

void CheckValue(const std::string& value) {
    if (value.find('\n') != std::string::npos || value.find('=') != std::string::npos) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    settingsFile = fuzz::MakeHome("settings") + "/cfg/mq.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::WriteText(settingsFile, text);

    Config config;
    config.LoadConfigFile(settingsFile);
    const std::string firstKey = text.substr(0, text.find_first_of("=\n"));
    CheckValue(config.GetValue(firstKey, ""));
    for (const char* key : {"server", "queue", "port", "lookup_host"})
        CheckValue(config.GetValue(key, ""));

    const Settings s = ReadSettings(settingsFile);
    CheckValue(s.broker.server);
    CheckValue(s.queue);
    CheckValue(s.lookup_host);
    return 0;
}
