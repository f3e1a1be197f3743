// The running service: the metrics endpoint, the signal thread and the consume loop with its
// reconnects, and the exit status once the stop has run (see stop.h and consume_loop.h).
#include "client/service.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "client/consume_loop.h"
#include "client/job.h"
#include "client/metrics.h"
#include "client/otlp.h"
#include "client/stop.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "core/stats.h"

namespace {

// The metrics endpoint when metrics_listen names one; the service runs on without it when it
// cannot listen there.
void StartMetrics(const Settings& s, MetricsServer& metrics) {
    if (s.metrics_listen.empty()) return;
    std::string error;
    const std::string where = "metrics on " + VisibleControls(s.metrics_listen.c_str());
    if (metrics.Start(s.metrics_listen, &error)) {
        LOG((where + ": /metrics and /healthz served").c_str());
    } else {
        LOG((where + ": cannot serve, " + error + "; the service runs without them").c_str());
    }
}

// The spans' last flush: a second at most, and nothing past stop_timeout.
std::chrono::milliseconds FlushBudget(StopRecord& stop) {
    using std::chrono::milliseconds;
    const auto left =
        std::chrono::duration_cast<milliseconds>(stop.Deadline() - StopRecord::Clock::now());
    return std::max(milliseconds(0), std::min(milliseconds(1000), left));
}

}  // namespace

int RunService(const Settings& s) {
    if (s.intake_limit <= 0 && s.ack_after_reply) {
        LOG("ack_mode=after_reply is ignored: intake_limit=0 consumes without acknowledgements");
    }
    StartIsolation(s);
    SizeRequestRecords(size_t(std::max(s.intake_limit, 0)) + size_t(s.workers));
    if (s.broker.tls.on && !s.broker.tls.verify) {
        LOG("tls_verify=no: the broker's certificate and host name are not checked, so anyone on "
            "the path can pose as the broker");
    }
    MetricsServer metrics;
    StartMetrics(s, metrics);
    StartSpanExport(s);
    StopRecord& stop = ServiceStop();
    ConsumeLoop loop(s, stop);
    std::thread signals(WatchSignals, std::cref(s), &loop.Acks());
    for (unsigned generation = 1; !loop.Serve(generation); ++generation) {
        ++Stats().reconnects;
        loop.PauseBeforeReconnect(s.reconnect_pause);
    }
    StopSpanExport(FlushBudget(stop));
    const int status = stop.End();
    signals.join();
    StopIsolation();
    // Abandoned workers still run their calls: the exit's destructors would pull the globals
    // they use from under them.
    if (stop.Abandoned()) _exit(status);
    return status;
}
