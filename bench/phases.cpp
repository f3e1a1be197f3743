// The measuring phases; see phases.h.
#include "bench/phases.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <thread>

#include "amqp/wire.h"
#include "probe/daemon_probe.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Arrivals {
    Clock::time_point first, last;
    int status = 0;  // -1: a broker error ended the wait
};

const int kPollMs = 100;

// Reads replies into `tally` until all have come, none came for the workload's idle time,
// the broker failed, or `abandon` is set. The only user of `client` while it runs.
void Collect(CallClient& client, const Workload& w, GuidTally& tally, Arrivals& arrivals,
             const std::atomic<bool>& abandon) {
    bool any = false;
    int idleMs = 0;
    std::string guid, text;
    while (!tally.Complete() && !abandon && idleMs < w.idleMs) {
        arrivals.status = client.WaitReply(kPollMs, &guid, &text);
        if (arrivals.status < 0) return;
        if (arrivals.status == 0) {
            idleMs += kPollMs;
            continue;
        }
        idleMs = 0;
        arrivals.last = Clock::now();
        if (!any) arrivals.first = arrivals.last;
        any = true;
        tally.Record(guid);
    }
}

// Waits for the reply to `guid`, passing over others; false on a time-out or a broker error.
bool AwaitReply(CallClient& client, const std::string& guid, int timeoutMs) {
    std::string replyGuid, text;
    while (client.WaitReply(timeoutMs, &replyGuid, &text) == 1) {
        if (replyGuid == guid) return true;
    }
    return false;
}

}  // namespace

std::string EchoRequest(const std::string& guid, const std::string& platform) {
    std::string body, error;
    BuildRequest(guid, platform, {ParamText({"comtype=echo", "nfunc=echo", "bench=1"})}, &body,
                 &error);
    return body;
}

GuidTally::GuidTally(const std::string& prefix, long count) : _prefix(prefix), _seen(count, 0) {
    _tally.expected = count;
}

void GuidTally::Record(const std::string& guid) {
    long i = Index(guid);
    if (i < 0) ++_tally.foreign;
    else if (_seen[i]++ == 0) ++_tally.unique;
    else ++_tally.duplicates;
}

long GuidTally::Index(const std::string& guid) const {
    if (guid.compare(0, _prefix.size(), _prefix) != 0 || guid.size() == _prefix.size() ||
        guid.find_first_not_of("0123456789", _prefix.size()) != std::string::npos) {
        return -1;
    }
    long i = atol(guid.c_str() + _prefix.size());
    return i < long(_seen.size()) ? i : -1;
}

bool Prefill(CallClient& client, const Workload& w, std::string* error) {
    for (int i = 0; i < w.count; ++i) {
        if (!client.Publish(w.queue, EchoRequest(w.guidPrefix + std::to_string(i), w.platform))) {
            *error = client.Error();
            return false;
        }
    }
    int waiting = 0;
    while (client.CheckQueue(w.queue, &waiting) && waiting < w.count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waiting < w.count) *error = client.Error();
    return waiting >= w.count;
}

bool RunThroughput(CallClient& client, Responder& responder, const Workload& w,
                   ThroughputFigures* out, std::string* error) {
    if (!Prefill(client, w, error)) return false;
    GuidTally tally(w.guidPrefix, w.count);
    Arrivals arrivals;
    std::atomic<bool> abandon{false};
    // Replies are read while the responder starts: read only after its start, the first
    // ones would all seem to arrive at once.
    std::thread collector(Collect, std::ref(client), std::cref(w), std::ref(tally),
                          std::ref(arrivals), std::cref(abandon));
    const double brokerBefore = w.brokerPid > 0 ? probe::CpuSeconds(w.brokerPid) : 0;
    const bool started = responder.Start(error);
    const double cpuBefore = started ? responder.CpuSeconds() : 0;
    abandon = !started;
    collector.join();
    if (!started) return false;
    if (arrivals.status < 0) {
        *error = client.Error();
        return false;
    }
    out->cpuSeconds = responder.CpuSeconds() - cpuBefore;
    if (w.brokerPid > 0) out->brokerCpuSeconds = probe::CpuSeconds(w.brokerPid) - brokerBefore;
    out->peakRssKb = responder.PeakRssKb();
    std::string guid, text;
    while (client.WaitReply(w.graceMs, &guid, &text) == 1) tally.Record(guid);
    out->tally = tally.Get();
    out->seconds = Ms(arrivals.last - arrivals.first) / 1000;
    out->perSecond = out->tally.unique > 1 ? (out->tally.unique - 1) / out->seconds : 0;
    out->handled = responder.Handled(w.guidPrefix);
    return true;
}

bool RunLatency(CallClient& client, const std::string& queue, const std::string& platform,
                int count, LatencyFigures* out, std::string* error) {
    // The first round trip may also wait for start-up or a first connection; it is not counted.
    std::string warm = NewGuid();
    bool ok = client.Publish(queue, EchoRequest(warm, platform)) && AwaitReply(client, warm, 30000);
    std::vector<double> ms;
    for (int i = 0; ok && i < count; ++i) {
        std::string guid = NewGuid();
        auto sent = Clock::now();
        ok = client.Publish(queue, EchoRequest(guid, platform)) && AwaitReply(client, guid, 10000);
        ms.push_back(Ms(Clock::now() - sent));
    }
    if (!ok) {
        *error =
            "a round trip failed after " + std::to_string(ms.size()) + " (" + client.Error() + ")";
        return false;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    out->count = ms.size();
    out->p50 = at(0.50);
    out->p99 = at(0.99);
    out->max = ms.back();
    return true;
}
