// The service proper, once started: the consume loop with its reconnects, the hand-off of
// deliveries to the workers, their acknowledgements, and the orderly stop (BlockStopSignals,
// which main calls first, is in client/stop.h).
#ifndef TOLVANE_CLIENT_SERVICE_H
#define TOLVANE_CLIENT_SERVICE_H

#include "core/settings.h"

// Runs the service with the worker pool already started, on the main thread; returns after a
// stop, with the process's exit status, the workers ended and the pid file removed. A stop
// that abandons requests past stop_timeout, or that the broker holds up past the grace after
// it, ends the process instead (status 1 when requests were abandoned): workers may still be
// running. `s` holds the settings read at start.
int RunService(const Settings& s);

#endif
