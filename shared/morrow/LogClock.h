// The moment libmorrow's writers stamp and name their entries with. A seam for tests,
// not installed: the system itself never sets it, so it stays time().
#ifndef TOLVANE_MORROW_LOGCLOCK_H
#define TOLVANE_MORROW_LOGCLOCK_H

#include <time.h>

typedef time_t (*LogClockFn)();

// Null restores the system clock. Set it while no writer runs on another thread.
void SetLogClock(LogClockFn fn);
time_t LogClockNow();

#endif
