// A request's call records run in this process, as the daemon's workers run them (path rule,
// plug-in call, chaining), so that a plug-in can be tried without a broker.
#ifndef TOLVANE_TOOLS_LOCAL_CALL_H
#define TOLVANE_TOOLS_LOCAL_CALL_H

#include <string>

// Runs the `count` records of the request `body` (framed as BuildRequest frames it) under the
// settings of `home`'s cfg/mq.conf, with the plug-ins of its lib/ (the built-in home when
// `home` is empty), and leaves in `output` what the reply would carry. The service log's
// lines go to stderr only, never into the home's log. The home's isolation and call_timeout
// apply as in the daemon. Call once, before any thread runs.
void RunLocally(const std::string& home, const std::string& body, int count, std::string* output);

#endif
