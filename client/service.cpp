// The running service. The main thread owns the consumer connection: it consumes, hands each
// delivery to the pool with its context, sends the acknowledgements that workers queue back
// to it, and runs the stop: it closes the intake, lets the workers finish what the service
// holds, closes the connections and returns the exit status (past stop_timeout it abandons
// what is left and ends the process itself, as the abandoned calls still run). A signal
// thread owns the signals: it records a stop and wakes the main thread; should the stop still
// wait on the broker past stop_timeout and a grace, it ends the process. No signal is handled
// in a signal handler, so both threads may log.
#include "client/service.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "client/MQService.h"
#include "amqp/connection.h"
#include "client/cautious_start.h"
#include "core/home.h"
#include "client/job.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "client/metrics.h"
#include "client/notify.h"
#include "client/counters.h"
#include "core/stats.h"
#include "client/threadpool.h"

namespace {

const int kIdlePauseMs = 1000;  // after a one-second wait that brought nothing
const int kStopPollMs = 10;
// Acknowledgements queued within this of the last flush wait for the rest of it, and while
// deliveries stream in they go out this often: fewer, larger batches are cheaper for the
// broker, but the prefetch window must not run dry meanwhile.
const std::chrono::milliseconds kAckFlush(2);
// A ready acknowledgement held up this long behind an older delivery goes out alone.
const std::chrono::milliseconds kAckHoldUp(20);
// Past stop_timeout, how long closing the connections may still take: with the rest of the
// stop this keeps the process within stop_timeout + 5 s of the signal, under a unit's
// TimeoutStopSec.
const int kCloseGraceS = 3;

using Clock = std::chrono::steady_clock;

AckQueue acks;

// Of `waiting` and `running` jobs abandoned, those the broker will not deliver again: under
// no_ack all of them, under on_take the running ones (acknowledged when taken), under
// after_reply none.
int LostOfAbandoned(const Settings& s, int waiting, int running) {
    if (s.intake_limit <= 0) return waiting + running;
    return s.ack_after_reply ? 0 : running;
}

// The stop: begun by the signal thread and run by the main thread, which ends it when done;
// should the main thread still be waiting on the broker at the hard deadline, the signal
// thread ends it and the process. Whichever ends it writes the last lines, under the lock.
class StopRecord {
public:
    // Signal thread: a stop signal came now.
    void Begin(const Settings& s);
    // Signal thread: returns once the main thread has ended the stop. Past the hard deadline,
    // writes the lines the main thread did not get to and ends the process, status 1 when
    // requests were abandoned.
    void AwaitEnd();

    // Main thread.
    bool Begun() const { return _begun; }
    Clock::time_point Deadline();
    // Every request held is finished; closing the connections is left.
    void Drained();
    // The deadline came first: logs what is abandoned.
    void Abandon();
    bool Abandoned();
    // Logs the end unless Abandon did, removes the pid file; the exit status.
    int End();

private:
    void LogFinished();
    void LogAbandoned();

    std::mutex _lock;
    std::condition_variable _ended;
    std::atomic<bool> _begun{false};
    const Settings* _s = nullptr;
    Clock::time_point _deadline;  // stop_timeout after the signal
    uint64_t _before = 0;         // JobsFinished() at the signal
    bool _drained = false;
    bool _abandoned = false;
    bool _over = false;
    int _status = 0;  // set with the last line
};

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

StopRecord stop;

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

// The signal thread: SIGHUP is ignored, SIGTERM or SIGINT begins the stop and wakes the main
// thread to run it; then it only watches the hard deadline.
void WatchSignals(const Settings& s) {
    const sigset_t set = StopSignals();
    for (int sig = 0; sig != SIGTERM && sig != SIGINT;) sig = NextSignal(set, s.stats_interval);
    NotifyStopping();
    stop.Begin(s);
    acks.Wake();
    stop.AwaitEnd();
}

// Waits up to timeoutMs for a wake of the AckQueue (or data on `fd`, when not -1).
void WaitForWake(int fd, int timeoutMs) {
    struct pollfd pfd[2] = {{acks.WakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
    poll(pfd, fd >= 0 ? 2 : 1, timeoutMs);
}

// Milliseconds from `now` to `until`, rounded up: 0 once it has passed.
int MsUntil(Clock::time_point now, Clock::time_point until) {
    if (until <= now) return 0;
    return int(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
}

// Sends the queued acknowledgements and requeues of this connection; those of a replaced one
// are dropped (the broker has taken those deliveries back already). Requeues go first, one by
// one in tag order, so that no multiple acknowledgement covers them; then one acknowledgement
// for the run of ready deliveries from the oldest held, and alone those held up behind an
// older one (with `all`, every ready one: nothing is left behind at a stop).
void FlushAcks(CConsumer& consumer, unsigned generation, AckWindow& window, bool all = false) {
    std::vector<PendingAck> taken = acks.Take();
    std::sort(taken.begin(), taken.end(), [](const PendingAck& a, const PendingAck& b) {
        return a.delivery_tag < b.delivery_tag;
    });
    const Clock::time_point now = Clock::now();
    for (const PendingAck& ack : taken) {
        if (ack.generation != generation) continue;
        if (ack.requeue) {
            consumer.Requeue(ack.delivery_tag);
            window.Settled(ack.delivery_tag);
        } else if (ack.wait) {
            window.ReadyNow(ack.delivery_tag);
        } else {
            window.Ready(ack.delivery_tag, now);
        }
    }
    const uint64_t run = window.TakeRun();
    if (run != 0) consumer.AckUpTo(run);
    const Clock::time_point since = all ? Clock::time_point::max() : now - kAckHoldUp;
    for (uint64_t tag : window.TakeHeldUp(since)) consumer.Ack(tag);
    acks.Done(taken, generation);
}

bool PoolIdle() {
    int waiting, running;
    tpool_counts(&waiting, &running);
    return waiting == 0 && running == 0;
}

// Waits until the workers have finished every job, or until `deadline` (false). Meanwhile
// sends their acknowledgements on `consumer`, or drops them when there is none (their
// connection is gone and the broker has taken those deliveries back).
bool FinishHeld(CConsumer* consumer, unsigned generation, AckWindow& window,
                Clock::time_point deadline) {
    for (;;) {
        const bool idle = PoolIdle();  // before the flush, so that the last acks go out
        if (consumer) {
            FlushAcks(*consumer, generation, window, true);
        } else {
            acks.Drop();
        }
        if (idle) return true;
        if (Clock::now() >= deadline) return false;
        NotifyAlive();
        WaitForWake(-1, kStopPollMs);
    }
}

// Waits out the reconnect pause of `seconds`, or until a stop begins, a second at a time for
// the watchdog. The acknowledgements queued meanwhile belong to a connection already gone, so
// they are dropped; left queued, their wake would end every pause at once and the loop would
// spin against a broker that is down.
void PauseBeforeReconnect(int seconds) {
    NotifyStatus("the broker connection is lost: reconnecting in " + std::to_string(seconds) +
                 " s");
    const Clock::time_point end = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
    for (Clock::time_point now; (now = Clock::now()) < end && !stop.Begun();) {
        NotifyAlive();
        acks.Drop();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        WaitForWake(-1, int(std::min<long long>(left + 1, kIdlePauseMs)));
    }
}

class ConsumeLoop {
public:
    explicit ConsumeLoop(const Settings& s) : _s(s), _intake(s.intake_limit > 0) {
        // basic.qos counts in 16 bits.
        _cautious.Begin(_intake ? std::min(s.intake_limit + s.workers, 65535) : 0,
                        _intake ? s.cautious_start : 0);
    }

    // One consumer connection, from set-up until it breaks (false) or the stop has been run
    // on it (true); a stop begun before it is run without a connection.
    bool Serve(unsigned generation);

private:
    void HandOver(char* msg, unsigned generation);
    // Waits for a delivery on `socket`, for acknowledgements to flush, or for a ready one held
    // up behind an older delivery to be due alone.
    void Sleep(int socket);
    // One turn of waiting for a delivery; false once the connection is unusable.
    bool Turn(CConsumer& consumer, unsigned generation);
    void CloseIntake(CConsumer& consumer, unsigned generation);
    // The stop, up to the close of `consumer` (null: none), which its owner does.
    void RunStop(CConsumer* consumer, unsigned generation);
    // One line on the consumer: `what` happened, then `text` (where, or why).
    void LogConsumer(const char* what, const std::string& text) const;

    const Settings& _s;
    const bool _intake;
    AckWindow _window;  // the deliveries of the connection served now
    CautiousStart _cautious;
    Clock::time_point _flushed;
};

void ConsumeLoop::HandOver(char* msg, unsigned generation) {
    EnvelopePtr env(reinterpret_cast<amqp_envelope_t*>(msg));
    JobContext ctx;
    ctx.delivery_tag = env->delivery_tag;
    ctx.generation = generation;
    ctx.acks = _intake ? &acks : nullptr;
    ctx.ack_after_reply = _s.ack_after_reply;
    if (_intake) {
        _window.Delivered(ctx.delivery_tag);
        _cautious.Delivered(env->redelivered != 0);
    }
    ++Stats().received;
    QueueJob(std::move(env), ctx);
}

bool ConsumeLoop::Turn(CConsumer& consumer, unsigned generation) {
    NotifyAlive();
    char* msg = nullptr;
    int ret;
    if (_intake) {
        // Flushed on each wake, and while deliveries stream in, every kAckFlush.
        const bool buffered = consumer.HasBuffered();
        if (!buffered) Sleep(consumer.SocketFd());
        // Before the flush, while a delivery is held unacknowledged: at a window of 1 the
        // broker then has nothing on its way that the cancel would send back, counted.
        const int window = _cautious.Window();
        if (!_window.Empty() && window != consumer.Prefetch() && !consumer.Reconsume(window)) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (!buffered || now - _flushed >= kAckFlush) {
            FlushAcks(consumer, generation, _window);
            _flushed = now;
        }
        ret = consumer.ConsumeMessage(&msg, timeval{0, 0});
    } else {
        ret = consumer.ConsumeMessage(&msg);
        if (ret == kConsumeNothing) WaitForWake(-1, kIdlePauseMs);
    }
    if (ret == kConsumeDelivered) HandOver(msg, generation);
    return ret != kConsumeBroken;
}

void ConsumeLoop::Sleep(int socket) {
    const Clock::time_point now = Clock::now();
    Clock::time_point until = now + std::chrono::milliseconds(kIdlePauseMs);
    const Clock::time_point ready = _window.EarliestReady();
    if (ready != Clock::time_point()) until = std::min(until, ready + kAckHoldUp);
    WaitForWake(socket, MsUntil(now, until));
    const Clock::time_point woken = Clock::now();
    if (acks.Queued() && woken < _flushed + kAckFlush) {
        struct pollfd pfd = {socket, POLLIN, 0};
        poll(&pfd, 1, MsUntil(woken, _flushed + kAckFlush));
    }
}

// Cancels the consumer and hands on every delivery the broker sent before confirming it.
void ConsumeLoop::CloseIntake(CConsumer& consumer, unsigned generation) {
    if (!consumer.Cancel()) return;
    char* msg = nullptr;
    while (consumer.ConsumeMessage(&msg, timeval{0, 0}) == kConsumeDelivered) {
        HandOver(msg, generation);
    }
}

// After the drain the workers end, each closing its reply connection; past the deadline the
// waiting jobs are discarded and the running ones left to end with the process.
void ConsumeLoop::RunStop(CConsumer* consumer, unsigned generation) {
    Stats().consuming = false;
    if (consumer) CloseIntake(*consumer, generation);
    if (FinishHeld(consumer, generation, _window, stop.Deadline())) {
        stop.Drained();
        tpool_uninit();
    } else {
        stop.Abandon();
        tpool_drop_waiting();
    }
}

bool ConsumeLoop::Serve(unsigned generation) {
    if (stop.Begun()) {
        RunStop(nullptr, generation);
        return true;
    }
    const BrokerSettings& b = _s.broker;
    _window = AckWindow();
    CConsumer consumer(b.server.c_str(), _s.queue.c_str(), b.userName.c_str(), b.pwd.c_str(),
                       b.vhost.c_str(), b.port, b.frame_max);
    _cautious.Connected();
    consumer.SetPrefetch(_intake ? _cautious.Window() : 0);
    // Each reconnect starts from the next host of a list, so a cluster's load spreads.
    consumer.SetFirstHost(generation - 1);
    consumer.SetHeartbeat(_s.heartbeat);
    consumer.SetTls(b.tls);
    // A walk over silent hosts may take long: the watchdog is fed and a stop ends it.
    consumer.SetKeepGoing([] {
        NotifyAlive();
        return !stop.Begun();
    });
    const bool ready = consumer.Init();
    if (ready) {
        acks.SetLive(generation);
        LogConsumer("started", "on " + consumer.Where());
        Stats().consuming = true;
        NotifyReady();
    }
    if (!consumer.HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(consumer.HostFailures().c_str());
    }
    while (ready && !stop.Begun() && Turn(consumer, generation)) {}
    if (stop.Begun()) {
        RunStop(ready ? &consumer : nullptr, generation);
        return true;  // the destructor closes the connection
    }
    acks.SetLive(0);
    Stats().consuming = false;
    LOG("the connection may lose,connect the mq server again...");
    if (!consumer.Error().empty()) LOG(consumer.Error().c_str());
    LogConsumer("failed", consumer.Detail());
    return false;
}

void ConsumeLoop::LogConsumer(const char* what, const std::string& text) const {
    const BrokerSettings& b = _s.broker;
    const std::string line = std::string("consumer ") + what + ": queue \"" + _s.queue +
                             "\", user \"" + b.userName + "\", vhost \"" + b.vhost + "\", " + text;
    LOG(VisibleControls(line.c_str()).c_str());
}

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

}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

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
    std::thread signals(WatchSignals, std::cref(s));
    ConsumeLoop loop(s);
    for (unsigned generation = 1; !loop.Serve(generation); ++generation) {
        ++Stats().reconnects;
        PauseBeforeReconnect(s.reconnect_pause);
    }
    const int status = stop.End();
    signals.join();
    StopIsolation();
    // Abandoned workers still run their calls: the exit's destructors would pull the globals
    // they use from under them.
    if (stop.Abandoned()) _exit(status);
    return status;
}
