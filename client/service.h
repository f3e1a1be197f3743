// The service proper, once started: the consume loop with its reconnects, the hand-off of
// deliveries to the workers, their acknowledgements, and the orderly stop.
#ifndef TOLVANE_SERVICE_H
#define TOLVANE_SERVICE_H

#include "client/settings.h"

// MUST be called by the main thread before any other thread exists: signals are then
// delivered to the service's own stop thread only.
void BlockStopSignals();

// Runs the service with the worker pool already started; returns only after a stop, with
// the process's exit status. `s` holds the settings read at start.
int RunService(const Settings& s);

#endif
