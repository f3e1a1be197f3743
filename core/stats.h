// Counters of what the service has done since it started, for the periodic counters line,
// the metrics endpoint and systemd's status. Every update is an atomic: the reply path takes
// no lock to count.
#ifndef TOLVANE_CORE_STATS_H
#define TOLVANE_CORE_STATS_H

#include <atomic>
#include <string>
#include <vector>

struct ServiceStats {
    std::atomic<unsigned long> received{0};         // deliveries handed to the workers
    std::atomic<unsigned long> replies_sent{0};     // replies the broker committed
    std::atomic<unsigned long> replies_failed{0};   // "send result faild"
    std::atomic<unsigned long> plugin_failures{0};  // calls that ended in a failure text
    std::atomic<unsigned long> reconnects{0};       // consumer connections rebuilt
    std::atomic<unsigned long> worker_restarts{0};  // plug-in worker processes replaced
    std::atomic<unsigned long> call_timeouts{0};    // calls that ran past call_timeout
    std::atomic<unsigned long> expired{0};          // taken past their deadline, not run
    std::atomic<unsigned long> spans_dropped{0};    // spans the OTLP collector did not get
    std::atomic<bool> consuming{false};             // the consumer connection is up
    std::atomic<bool> reply_blocked{false};  // the broker blocked the pipelined reply connection
};

ServiceStats& Stats();

// One line: the counters with the jobs `waiting` and `running` in the pool right now.
std::string StatsLine(int waiting, int running);

// Upper bounds of the call duration buckets, seconds; the last bucket is unbounded.
const std::vector<double>& CallBuckets();

// Plug-in calls of one comtype: counts per bucket of CallBuckets (plus one past the last),
// their number and the sum of their durations.
struct CallSeries {
    std::string comtype;
    std::vector<unsigned long> buckets;
    unsigned long count = 0;
    double sumSeconds = 0;
};

// Counts one plug-in call of `comtype` that took `seconds`. The first kMaxComtypes comtypes
// seen get a series each, every later one shares the series "other". Any thread; lock-free.
void CountCall(const std::string& comtype, double seconds);
const int kMaxComtypes = 100;

// The series counted so far, in the order their comtypes first came.
std::vector<CallSeries> CallSeriesNow();

#endif
