// The service's counters.
#include "client/stats.h"

#include <stdio.h>

#include "client/threadpool.h"

ServiceStats& Stats() {
    static ServiceStats stats;
    return stats;
}

std::string StatsLine() {
    const ServiceStats& s = Stats();
    int waiting, running;
    tpool_counts(&waiting, &running);
    char line[400];
    snprintf(line, sizeof line,
             "counters: received=%lu replied=%lu reply_failed=%lu plugin_failed=%lu "
             "waiting=%d running=%d reconnects=%lu worker_restarts=%lu call_timeouts=%lu",
             s.received.load(), s.replies_sent.load(), s.replies_failed.load(),
             s.plugin_failures.load(), waiting, running, s.reconnects.load(),
             s.worker_restarts.load(), s.call_timeouts.load());
    return line;
}
