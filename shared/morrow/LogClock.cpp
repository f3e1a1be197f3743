// The writers' clock, replaceable so tests can pick the moment of an entry.
#include "morrow/LogClock.h"

#include <atomic>

namespace {
std::atomic<LogClockFn> clockFn{nullptr};
}

void SetLogClock(LogClockFn fn) {
    clockFn.store(fn, std::memory_order_relaxed);
}

time_t LogClockNow() {
    LogClockFn fn = clockFn.load(std::memory_order_relaxed);
    return fn ? fn() : time(nullptr);
}
