// tolvane-call --local: the daemon's own record run, minus the broker; see local_call.h.
#include "tools/local_call.h"

#include "core/home.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "core/records.h"
#include "core/service_settings.h"

void RunLocally(const std::string& home, const std::string& body, int count, std::string* output) {
    if (!home.empty()) SetHome(home);
    SetLogFile(false);
    SetLogEcho(true);
    output->clear();
    const Settings s = ReadServiceSettings();
    // The daemon's isolation too: under isolation=process the calls run in worker processes
    // (this program started again with --worker), with their call_timeout.
    StartIsolation(s);
    RunRecords(s, body.data(), count, *output);
    StopIsolation();
}
