#include "client/counters.h"

#include "client/threadpool.h"
#include "core/stats.h"

std::string CountersLine() {
    int waiting, running;
    tpool_counts(&waiting, &running);
    return StatsLine(waiting, running);
}
