// The benchmark's measuring phases, the same for the daemons and the ceiling:
//   throughput: N requests queued before the responder starts, timed from the first reply to
//               the N-th distinct one, every guid counted (unique, duplicates, missing);
//   latency:    M sequential round trips against a running responder.
#ifndef TOLVANE_BENCH_PHASES_H
#define TOLVANE_BENCH_PHASES_H

#include <string>
#include <vector>

#include "bench/responder.h"
#include "requester/call_client.h"

struct Workload {
    std::string queue;
    std::string platform;    // the reply exchange the requests name
    std::string guidPrefix;  // request i has the guid prefix + i
    int count = 0;
    int idleMs = 30000;  // no reply for this long ends the phase
    int graceMs = 500;   // listening for duplicates once all have come
    int brokerPid = 0;   // the broker node's process, whose CPU is read (0: not read)
};

struct Tally {
    long expected = 0;
    long unique = 0;
    long duplicates = 0;  // replies beyond the first for one guid
    long foreign = 0;     // replies to guids this phase did not send
    long Missing() const { return expected - unique; }
};

// Counts replies by the index in their guid (prefix + index, index below `count`).
class GuidTally {
public:
    GuidTally(const std::string& prefix, long count);
    void Record(const std::string& guid);
    bool Complete() const { return _tally.unique == _tally.expected; }
    const Tally& Get() const { return _tally; }

private:
    long Index(const std::string& guid) const;

    std::string _prefix;
    std::vector<unsigned> _seen;
    Tally _tally;
};

// A one-record echo request (4172 bytes; its reply 1074) whose reply goes to `platform`.
std::string EchoRequest(const std::string& guid, const std::string& platform);

struct ThroughputFigures {
    Tally tally;
    double seconds = 0;            // first reply to the last distinct one
    double perSecond = 0;          // replies per second over `seconds`
    double cpuSeconds = 0;         // the responder's CPU time over the phase
    double brokerCpuSeconds = -1;  // the broker's, when its process is known
    long peakRssKb = -1;           // the responder's peak at the end of the phase
    std::vector<long> handled;     // per process, when the responder can tell
};

struct LatencyFigures {
    size_t count = 0;
    double p50 = 0, p99 = 0, max = 0;  // milliseconds
};

// Queues the workload's requests and waits until the broker counts them all.
bool Prefill(CallClient& client, const Workload& w, std::string* error);
// Starts the responder on the queued workload and measures it; the responder is left running.
bool RunThroughput(CallClient& client, Responder& responder, const Workload& w,
                   ThroughputFigures* out, std::string* error);
// `count` round trips, one at a time, after one unmeasured warm-up.
bool RunLatency(CallClient& client, const std::string& queue, const std::string& platform,
                int count, LatencyFigures* out, std::string* error);

#endif
