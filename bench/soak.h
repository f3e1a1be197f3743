// The soak run: the daemon answers a long stream of echo requests sent in batches, its
// resident memory read after every tenth of them. Unlike the other modes it judges: memory
// that grows past a bound over the first reading, or a request not answered exactly once,
// fails the run.
#ifndef TOLVANE_BENCH_SOAK_H
#define TOLVANE_BENCH_SOAK_H

#include <string>

#include "bench/daemons.h"
#include "bench/phases.h"
#include "requester/call_client.h"

struct SoakPlan {
    Workload load;            // count: ten or more; idleMs: a batch with no reply ends the run
    long batch = 5000;        // sent, then answered in full, before the next is sent
    long rssGrowthKb = 2048;  // allowed over the reading taken after the first tenth
};

// Starts the daemons, prints a line per tenth, the tally and the verdict, and stops them.
// 0: passed; 1: failed, with the reason on stderr.
int RunSoak(CallClient& client, DaemonSet& daemons, const SoakPlan& plan);

#endif
