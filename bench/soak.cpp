// The soak run; see soak.h.
#include "bench/soak.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>

#include "bench/phases.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int Fail(const std::string& what) {
    fprintf(stderr, "tolvane-bench: soak FAILED: %s\n", what.c_str());
    return 1;
}

// Publishes requests [from, to).
bool SendBatch(CallClient& client, const SoakPlan& p, long from, long to, std::string* error) {
    for (long i = from; i < to; ++i) {
        if (!client.Publish(p.load.queue,
                            EchoRequest(p.load.guidPrefix + std::to_string(i), p.load.platform))) {
            *error = client.Error();
            return false;
        }
    }
    return true;
}

// Reads replies until `unique` distinct ones have come; false on a broker error or when
// none came for the idle time.
bool AwaitUnique(CallClient& client, GuidTally& tally, long unique, int idleMs,
                 std::string* error) {
    std::string guid, text;
    while (tally.Get().unique < unique) {
        int status = client.WaitReply(idleMs, &guid, &text);
        if (status < 0) {
            *error = client.Error();
            return false;
        }
        if (status == 0) {
            *error = "no reply for " + std::to_string(idleMs / 1000) + " s with " +
                     std::to_string(unique - tally.Get().unique) + " of the batch unanswered";
            return false;
        }
        tally.Record(guid);
    }
    return true;
}

void PrintTally(const Tally& t, long sent) {
    printf("tally: %ld sent, %ld answered, %ld duplicated, %ld missing, %ld foreign\n", sent,
           t.unique, t.duplicates, sent - t.unique, t.foreign);
}

// The memory figures so far: the first reading and the largest growth over it.
struct Readings {
    long firstKb = -1;
    long worstGrowthKb = 0;
    long worstAt = 0;
};

void PrintReading(Readings& r, long replies, long kb, double stepRate, double total) {
    if (r.firstKb < 0) r.firstKb = kb;
    long growth = kb - r.firstKb;
    if (growth > r.worstGrowthKb) {
        r.worstGrowthKb = growth;
        r.worstAt = replies;
    }
    printf("%9ld replies  VmRSS %7ld kB  %+6ld kB  %6.0f replies/s  %6.0f s\n", replies, kb, growth,
           stepRate, total);
    fflush(stdout);
}

}  // namespace

int RunSoak(CallClient& client, DaemonSet& daemons, const SoakPlan& p) {
    std::string error;
    if (!daemons.Start(&error)) return Fail(error);
    printf(
        "soak: %ld one-record echo requests in batches of %ld, daemon pid %d; resident "
        "memory after every %ld replies\n",
        long(p.load.count), p.batch, int(daemons.FirstPid()), long(p.load.count) / 10);
    fflush(stdout);
    GuidTally tally(p.load.guidPrefix, p.load.count);
    Readings readings;
    long sent = 0;
    const auto start = Clock::now();
    for (int tenth = 1; tenth <= 10; ++tenth) {
        const auto stepStart = Clock::now();
        const long from = sent, end = p.load.count * tenth / 10;
        while (sent < end) {
            long to = std::min(end, sent + p.batch);
            bool ok = SendBatch(client, p, sent, to, &error) &&
                      AwaitUnique(client, tally, to, p.load.idleMs, &error);
            sent = to;
            if (!ok) {
                PrintTally(tally.Get(), sent);
                return Fail(error);
            }
        }
        long kb = daemons.RssKb();
        if (kb < 0) return Fail("the daemon is no longer running");
        PrintReading(readings, end, kb, (end - from) / Seconds(Clock::now() - stepStart),
                     Seconds(Clock::now() - start));
    }
    // Late duplicates would come now.
    std::string guid, text;
    while (client.WaitReply(2000, &guid, &text) == 1) tally.Record(guid);
    daemons.Stop();
    const Tally& t = tally.Get();
    PrintTally(t, sent);
    if (t.unique != sent || t.duplicates != 0) {
        return Fail("not every request was answered exactly once");
    }
    if (readings.worstGrowthKb > p.rssGrowthKb) {
        return Fail("resident memory grew by " + std::to_string(readings.worstGrowthKb) +
                    " kB between " + std::to_string(p.load.count / 10) + " and " +
                    std::to_string(readings.worstAt) + " replies (at most " +
                    std::to_string(p.rssGrowthKb) + " kB allowed)");
    }
    printf(
        "soak: passed: every request answered once; resident memory at most %+ld kB over "
        "the first reading (%ld kB allowed)\n",
        readings.worstGrowthKb, p.rssGrowthKb);
    return 0;
}
