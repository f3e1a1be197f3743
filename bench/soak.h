// The soak run: the daemon answers a long stream of echo requests sent in batches, its
// resident memory read after every tenth of them. Unlike the other modes it judges: memory
// that grows past a bound over the first reading, or a request not answered exactly once,
// fails the run.
#ifndef TOLVANE_BENCH_SOAK_H
#define TOLVANE_BENCH_SOAK_H

#include <string>

#include "bench/daemons.h"
#include "tools/call_client.h"

struct SoakPlan {
    std::string queue;
    std::string platform;     // the reply exchange the requests name
    std::string guidPrefix;   // request i has the guid prefix + i
    long count = 1000000;     // ten or more
    long batch = 5000;        // sent, then answered in full, before the next is sent
    long rssGrowthKb = 2048;  // allowed over the reading taken after the first tenth
    int idleMs = 30000;       // a batch with no reply for this long ends the run
};

// Starts the daemons, prints a line per tenth, the tally and the verdict, and stops them.
// 0: passed; 1: failed, with the reason on stderr.
int RunSoak(CallClient& client, DaemonSet& daemons, const SoakPlan& plan);

#endif
