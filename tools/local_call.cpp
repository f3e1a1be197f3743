// tolvane-call --local: the daemon's own record run, minus the broker; see local_call.h.
#include "tools/local_call.h"

#include "client/MSGOperation.h"
#include "client/home.h"
#include "client/log.h"
#include "client/service_settings.h"

void RunLocally(const std::string& home, const std::string& body, int count, std::string* output) {
    if (!home.empty()) SetHome(home);
    SetLogFile(false);
    SetLogEcho(true);
    output->clear();
    RunRecords(ReadServiceSettings(), body.data(), count, *output);
}
