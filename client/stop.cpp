#include "client/stop.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "client/cautious_start.h"
#include "client/counters.h"
#include "client/job.h"
#include "client/notify.h"
#include "client/threadpool.h"
#include "core/home.h"
#include "core/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// Past stop_timeout, how long closing the connections may still take: with the rest of the
// stop this keeps the process within stop_timeout + 5 s of the signal, under a unit's
// TimeoutStopSec.
const int kCloseGraceS = 3;

// Of `waiting` and `running` jobs abandoned, those the broker will not deliver again: under
// no_ack all of them, under on_take the running ones (acknowledged when taken), under
// after_reply none.
int LostOfAbandoned(const Settings& s, int waiting, int running) {
    if (s.intake_limit <= 0) return waiting + running;
    return s.ack_after_reply ? 0 : running;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The next signal of `set`; 0 when none came for `interval` seconds (when above 0), after
// writing the counters line.
int NextSignal(const sigset_t& set, int interval) {
    int sig = 0;
    if (interval > 0) {
        struct timespec wait = {interval, 0};
        sig = sigtimedwait(&set, nullptr, &wait);
        if (sig < 0 && errno == EAGAIN) LOG(CountersLine().c_str());
    } else if (sigwait(&set, &sig) != 0) {
        sig = 0;
    }
    return sig < 0 ? 0 : sig;
}

}  // namespace

void WatchSignals(const Settings& s, AckQueue* wake) {
    const sigset_t set = StopSignals();
    for (int sig = 0; sig != SIGTERM && sig != SIGINT;) sig = NextSignal(set, s.stats_interval);
    NotifyStopping();
    ServiceStop().Begin(s);
    wake->Wake();
    ServiceStop().AwaitEnd();
}

void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopRecord& ServiceStop() {
    static StopRecord stop;
    return stop;
}

void StopRecord::Begin(const Settings& s) {
    std::lock_guard<std::mutex> hold(_lock);
    LOG("stopping: no more requests are taken, the ones held are finished");
    _s = &s;
    _before = JobsFinished();
    _deadline = Clock::now() + std::chrono::seconds(s.stop_timeout);
    _begun = true;
}

void StopRecord::AwaitEnd() {
    std::unique_lock<std::mutex> lock(_lock);
    const Clock::time_point hardEnd = _deadline + std::chrono::seconds(kCloseGraceS);
    if (_ended.wait_until(lock, hardEnd, [this] { return _over; })) return;
    if (_drained) {
        LOG("stopping: the broker did not confirm the close of the connections in time");
        LogFinished();
        RemoveCautiousMarker();
    } else if (!_abandoned) {
        LogAbandoned();
    }
    unlink(PidFile().c_str());
    _exit(_status);
}

Clock::time_point StopRecord::Deadline() {
    std::lock_guard<std::mutex> hold(_lock);
    return _deadline;
}

void StopRecord::Drained() {
    std::lock_guard<std::mutex> hold(_lock);
    _drained = true;
}

void StopRecord::Abandon() {
    std::lock_guard<std::mutex> hold(_lock);
    LogAbandoned();
    _abandoned = true;
}

bool StopRecord::Abandoned() {
    std::lock_guard<std::mutex> hold(_lock);
    return _abandoned;
}

int StopRecord::End() {
    std::lock_guard<std::mutex> hold(_lock);
    if (!_abandoned) {
        LogFinished();
        RemoveCautiousMarker();
    }
    unlink(PidFile().c_str());
    _over = true;
    _ended.notify_all();
    return _status;
}

void StopRecord::LogFinished() {
    char line[300];
    snprintf(line, sizeof line, "stopped: %llu requests finished during the stop",
             static_cast<unsigned long long>(JobsFinished() - _before));
    LOG(line);
    _status = 0;
}

void StopRecord::LogAbandoned() {
    int waiting, running;
    tpool_counts(&waiting, &running);
    char line[300];
    snprintf(line, sizeof line,
             "stopped after %d s: %d requests abandoned, %d of them lost (taken and "
             "acknowledged, not answered); %llu finished",
             _s->stop_timeout, waiting + running, LostOfAbandoned(*_s, waiting, running),
             static_cast<unsigned long long>(JobsFinished() - _before));
    LOG(line);
    _status = waiting + running > 0 ? 1 : 0;
}
