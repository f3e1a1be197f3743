// The daemon's counters line: the core's counters with the worker pool's queue right now, for
// the periodic log line and systemd's status.
#ifndef TOLVANE_CLIENT_COUNTERS_H
#define TOLVANE_CLIENT_COUNTERS_H

#include <string>

std::string CountersLine();

#endif
