// Plug-in worker processes under isolation=process: each pool thread owns one worker, started
// from that thread (its parent-death signal follows the thread that started it), replaced
// when it dies, overruns call_timeout or has served max_calls_per_worker calls.
#ifndef TOLVANE_CORE_WORKER_POOL_H
#define TOLVANE_CORE_WORKER_POOL_H

#include "core/plugin_call.h"

struct WorkerLimits {
    int call_timeout = 0;  // seconds; 0: none
    int max_calls = 0;     // calls before a worker is replaced; 0: no limit
    int memory_mb = 0;     // RLIMIT_AS of a worker, MiB; 0: none
};

// MUST be called before the first CallInWorker (by the main thread, before the pool has work).
void SetWorkerLimits(const WorkerLimits& limits);

// Runs `call` in the calling thread's worker, started on first use. A worker that dies in the
// call, or is killed at call_timeout, is logged (library, function, signal or status) and
// replaced; the call then ends kDied or kTimedOut. Its worker ends when the thread does.
CallEnd CallInWorker(PluginCall& call);

#endif
