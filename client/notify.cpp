// systemd's notifications through libsystemd. The watchdog's interval is read once, on the
// consume loop's thread after the daemon has detached (WATCHDOG_PID must name this process).
#include "client/notify.h"

#include <stdint.h>
#include <stdlib.h>
#include <systemd/sd-daemon.h>

#include <chrono>

#include "client/counters.h"
#include "core/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::seconds kStatusEvery(5);

bool Enabled() {
    static const bool enabled = getenv("NOTIFY_SOCKET") != nullptr;
    return enabled;
}

// A quarter of the watchdog's interval: a turn of the loop may take a second beyond it;
// zero when no watchdog is set.
Clock::duration PingEvery() {
    static const Clock::duration every = [] {
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) <= 0) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(usec / 4));
    }();
    return every;
}

// Consume loop's thread only.
Clock::time_point lastPing, lastStatus;

}  // namespace

void NotifyReady() {
    if (!Enabled()) return;
    lastStatus = Clock::now();
    sd_notifyf(0, "READY=1\nSTATUS=%s", CountersLine().c_str());
}

void NotifyStatus(const std::string& text) {
    if (!Enabled()) return;
    lastStatus = Clock::now();
    sd_notifyf(0, "STATUS=%s", text.c_str());
}

void NotifyAlive() {
    if (!Enabled()) return;
    const Clock::time_point now = Clock::now();
    const Clock::duration every = PingEvery();
    if (every > Clock::duration::zero() && now - lastPing >= every) {
        lastPing = now;
        sd_notify(0, "WATCHDOG=1");
    }
    if (now - lastStatus >= kStatusEvery && Stats().consuming) NotifyStatus(CountersLine());
}

void NotifyStopping() {
    if (Enabled()) sd_notify(0, "STOPPING=1\nSTATUS=stopping: finishing the requests held");
}
