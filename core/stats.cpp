// The service's counters, and the call durations by comtype in a table that workers fill
// without a lock: a comtype's series is claimed once with a compare-and-swap and then only
// counted into.
#include "core/stats.h"

#include <stdio.h>

#include <iterator>

namespace {

constexpr double kBounds[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
const std::vector<double> kBuckets(std::begin(kBounds), std::end(kBounds));
// The bounded buckets and the unbounded one.
constexpr size_t kBucketCount = sizeof kBounds / sizeof kBounds[0] + 1;

struct Series {
    explicit Series(std::string name) : comtype(std::move(name)) {}
    std::string comtype;  // set once, before the series is published
    std::atomic<unsigned long> buckets[kBucketCount] = {};
    std::atomic<unsigned long long> sumNs{0};
};

// Claimed from the first on, so the first null slot ends the ones in use. Never freed:
// workers may still count while the process exits.
std::atomic<Series*> slots[kMaxComtypes];

Series* Other() {
    static Series* other = new Series("other");
    return other;
}

// The series of `comtype`: found among the claimed slots, or claimed in the first free one.
Series* SeriesOf(const std::string& comtype) {
    for (auto& slot : slots) {
        Series* s = slot.load(std::memory_order_acquire);
        if (!s) {
            auto* fresh = new Series(comtype);
            if (slot.compare_exchange_strong(s, fresh, std::memory_order_acq_rel)) return fresh;
            delete fresh;  // another worker claimed it first: `s` is its series
        }
        if (s->comtype == comtype) return s;
    }
    return Other();
}

CallSeries Copy(const Series& s) {
    CallSeries c;
    c.comtype = s.comtype;
    // The count is the buckets' sum, so that a scrape between two updates stays consistent.
    for (size_t i = 0; i <= kBuckets.size(); ++i) {
        c.buckets.push_back(s.buckets[i].load());
        c.count += c.buckets.back();
    }
    c.sumSeconds = static_cast<double>(s.sumNs.load()) / 1e9;
    return c;
}

}  // namespace

ServiceStats& Stats() {
    static ServiceStats stats;
    return stats;
}

std::string StatsLine(int waiting, int running) {
    const ServiceStats& s = Stats();
    char line[400];
    snprintf(line, sizeof line,
             "counters: received=%lu replied=%lu reply_failed=%lu plugin_failed=%lu "
             "waiting=%d running=%d reconnects=%lu worker_restarts=%lu call_timeouts=%lu",
             s.received.load(), s.replies_sent.load(), s.replies_failed.load(),
             s.plugin_failures.load(), waiting, running, s.reconnects.load(),
             s.worker_restarts.load(), s.call_timeouts.load());
    // Each only once there is one: the line stays as it was for a daemon that honours no
    // deadline and exports no spans.
    std::string out = line;
    if (const unsigned long n = s.expired.load()) out += " expired=" + std::to_string(n);
    if (const unsigned long n = s.spans_dropped.load())
        out += " spans_dropped=" + std::to_string(n);
    return out;
}

const std::vector<double>& CallBuckets() {
    return kBuckets;
}

void CountCall(const std::string& comtype, double seconds) {
    Series* s = SeriesOf(comtype);
    size_t bucket = 0;
    while (bucket < kBuckets.size() && seconds > kBuckets[bucket]) ++bucket;
    s->buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    s->sumNs.fetch_add(static_cast<unsigned long long>(seconds * 1e9), std::memory_order_relaxed);
}

std::vector<CallSeries> CallSeriesNow() {
    std::vector<CallSeries> all;
    for (int i = 0; i < kMaxComtypes; ++i) {
        const Series* s = slots[i].load(std::memory_order_acquire);
        if (!s) break;
        all.push_back(Copy(*s));
    }
    const CallSeries other = Copy(*Other());
    if (other.count > 0) all.push_back(other);
    return all;
}
