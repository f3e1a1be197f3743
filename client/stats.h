// Counters of what the service has done since it started, for the periodic counters line.
#ifndef TOLVANE_CLIENT_STATS_H
#define TOLVANE_CLIENT_STATS_H

#include <atomic>
#include <string>

struct ServiceStats {
    std::atomic<unsigned long> received{0};         // deliveries handed to the workers
    std::atomic<unsigned long> replies_sent{0};     // replies the broker committed
    std::atomic<unsigned long> replies_failed{0};   // "send result faild"
    std::atomic<unsigned long> plugin_failures{0};  // calls that ended in a failure text
    std::atomic<unsigned long> reconnects{0};       // consumer connections rebuilt
    std::atomic<unsigned long> worker_restarts{0};  // plug-in worker processes replaced
    std::atomic<unsigned long> call_timeouts{0};    // calls that ran past call_timeout
};

ServiceStats& Stats();

// One line: the counters with the jobs waiting and running in the pool right now.
std::string StatsLine();

#endif
