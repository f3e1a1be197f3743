// The running service. The main thread owns the consumer connection: it consumes, hands each
// delivery to the pool with its context, and sends the acknowledgements that workers queue
// back to it. A stop thread owns the signals: on SIGTERM or SIGINT it closes the intake,
// lets the workers finish what the service holds, and ends the process, or gives up after
// stop_timeout. Closing the connections afterwards waits on the broker, so it gets a bounded
// grace and the process ends even when the broker never answers. Signal handling never runs
// in a signal handler, so it may log.
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
#include <thread>

#include "client/MQService.h"
#include "amqp/connection.h"
#include "client/home.h"
#include "client/job.h"
#include "client/log.h"
#include "client/stats.h"
#include "client/threadpool.h"

namespace {

const int kIdlePauseMs = 1000;  // after a one-second wait that brought nothing
const int kStopPollMs = 10;
// Past stop_timeout, how long closing the connections may still take: with the rest of the
// stop this keeps the process within stop_timeout + 5 s of the signal, under a unit's
// TimeoutStopSec.
const int kCloseGraceS = 3;

// Where the consume loop is. The stop thread takes over from kSetup and kPause (nothing can
// be delivered there), and waits for kClosed (intake closed) and kDone (connection closed).
enum Phase { kSetup, kConsuming, kClosed, kDone, kPause, kTakenOver };

std::atomic<int> phase{kSetup};
std::atomic<bool> stopping{false};
std::atomic<bool> finishing{false};  // the workers are done: last acks, then close
std::atomic<bool> workersJoined{false};  // the workers ended, their reply connections closed
AckQueue acks;

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// Waits up to timeout_ms for a wake of the AckQueue (or data on `fd`, when not -1).
void WaitForWake(int fd, int timeout_ms) {
    struct pollfd pfd[2] = {{acks.WakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
    poll(pfd, fd >= 0 ? 2 : 1, timeout_ms);
}

// The consume loop's thread lets the stop thread end the process.
[[noreturn]] void Park() {
    for (;;) pause();
}

bool MovePhase(int from, int to) {
    return phase.compare_exchange_strong(from, to);
}

// Sends the queued acknowledgements and requeues of this connection; those of a replaced one
// are dropped (the broker has taken those deliveries back already).
void FlushAcks(CConsumer& consumer, unsigned generation) {
    for (const PendingAck& ack : acks.Take()) {
        if (ack.generation != generation) continue;
        if (ack.requeue) {
            consumer.Requeue(ack.delivery_tag);
        } else {
            consumer.Ack(ack.delivery_tag);
        }
    }
}

class ConsumeLoop {
public:
    explicit ConsumeLoop(const Settings& s) : _s(s), _intake(s.intake_limit > 0) {}

    // One consumer connection, from set-up until it breaks or the service stops.
    void Serve(unsigned generation);

private:
    void HandOver(char* msg, unsigned generation);
    // One turn of waiting for a delivery; false once the connection is unusable.
    bool Turn(CConsumer& consumer, unsigned generation);
    void CloseIntake(CConsumer& consumer, unsigned generation);
    // One line on the consumer: `what` happened, then `text` (where, or why).
    void LogConsumer(const char* what, const std::string& text) const;

    const Settings& _s;
    const bool _intake;
};

void ConsumeLoop::HandOver(char* msg, unsigned generation) {
    amqp_envelope_t* env = reinterpret_cast<amqp_envelope_t*>(msg);
    JobContext ctx;
    ctx.delivery_tag = env->delivery_tag;
    ctx.generation = generation;
    ctx.acks = _intake ? &acks : nullptr;
    ctx.ack_after_reply = _s.ack_after_reply;
    ++Stats().received;
    QueueJob(env, ctx);
}

bool ConsumeLoop::Turn(CConsumer& consumer, unsigned generation) {
    char* msg = nullptr;
    int ret;
    if (_intake) {
        FlushAcks(consumer, generation);
        if (!consumer.HasBuffered()) WaitForWake(consumer.SocketFd(), kIdlePauseMs);
        FlushAcks(consumer, generation);
        ret = consumer.ConsumeMessage(&msg, timeval{0, 0});
    } else {
        ret = consumer.ConsumeMessage(&msg);
        if (ret == kConsumeNothing) WaitForWake(-1, kIdlePauseMs);
    }
    if (ret == kConsumeDelivered) HandOver(msg, generation);
    return ret != kConsumeBroken;
}

// Cancels the consumer and hands on every delivery the broker sent before confirming it;
// then keeps sending acknowledgements until the stop thread says the workers are done.
void ConsumeLoop::CloseIntake(CConsumer& consumer, unsigned generation) {
    if (consumer.Cancel()) {
        char* msg = nullptr;
        while (consumer.ConsumeMessage(&msg, timeval{0, 0}) == kConsumeDelivered) {
            HandOver(msg, generation);
        }
    }
    phase = kClosed;
    while (!finishing) {
        FlushAcks(consumer, generation);
        WaitForWake(-1, kStopPollMs);
    }
    FlushAcks(consumer, generation);
}

void ConsumeLoop::Serve(unsigned generation) {
    const BrokerSettings& b = _s.broker;
    CConsumer consumer(b.server.c_str(), _s.queue.c_str(), b.userName.c_str(), b.pwd.c_str(),
                       b.vhost.c_str(), b.port, b.frame_max);
    // basic.qos counts in 16 bits.
    consumer.SetPrefetch(_intake ? std::min(_s.intake_limit + _s.workers, 65535) : 0);
    // Each reconnect starts from the next host of a list, so a cluster's load spreads.
    consumer.SetFirstHost(generation - 1);
    consumer.SetHeartbeat(_s.heartbeat);
    bool ready = consumer.Init();
    if (!MovePhase(kSetup, kConsuming)) Park();
    if (ready) {
        acks.SetLive(generation);
        LogConsumer("started", "on " + consumer.Where());
    }
    if (!consumer.HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(consumer.HostFailures().c_str());
    }
    while (ready && !stopping && Turn(consumer, generation)) {
    }
    if (stopping && ready) {
        CloseIntake(consumer, generation);
        return;  // the destructor closes the connection
    }
    if (stopping) return;
    acks.SetLive(0);
    LOG("the connection may lose,connect the mq server again...");
    if (!consumer.Error().empty()) LOG(consumer.Error().c_str());
    LogConsumer("failed", consumer.Detail());
}

void ConsumeLoop::LogConsumer(const char* what, const std::string& text) const {
    const BrokerSettings& b = _s.broker;
    const std::string line = std::string("consumer ") + what + ": queue \"" + _s.queue +
                             "\", user \"" + b.userName + "\", vhost \"" + b.vhost + "\", " + text;
    LOG(VisibleControls(line.c_str()).c_str());
}

using Clock = std::chrono::steady_clock;

// Waits until `done` or the deadline; false at the deadline.
template <typename Done>
bool WaitUntil(Done done, Clock::time_point deadline) {
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
    }
    return true;
}

// Waits out the reconnect pause of `seconds`. The acknowledgements queued meanwhile belong to
// a connection already gone, so they are dropped; left queued, their wake would end every pause
// at once and the loop would spin against a broker that is down.
void PauseBeforeReconnect(int seconds) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
    for (Clock::time_point now; (now = Clock::now()) < end;) {
        acks.Take();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        WaitForWake(-1, int(left) + 1);
    }
}

bool PoolIdle() {
    int waiting, running;
    tpool_counts(&waiting, &running);
    return waiting == 0 && running == 0;
}

// Intake is closed once the consume loop has cancelled, or at once while it has no consumer.
bool IntakeClosed() {
    int p = phase;
    if (p == kSetup || p == kPause) return MovePhase(p, kTakenOver);
    return p != kConsuming;
}

[[noreturn]] void EndProcess(int status) {
    unlink(PidFile().c_str());
    _exit(status);
}

// The workers end (tpool_uninit joins them; each closes its reply connection) while the
// consume loop sends the last acknowledgements and closes its connection. Both wait on the
// broker, so this waits no longer than `hardEnd`; false when they were not done by then, and
// the kernel closes what is left at exit.
bool CloseConnections(Clock::time_point hardEnd) {
    finishing = true;
    acks.Wake();
    std::thread([] {
        tpool_uninit();
        workersJoined = true;
    }).detach();
    return WaitUntil([] { int p = phase; return workersJoined && (p == kDone || p == kTakenOver); },
                     hardEnd);
}

// Of `waiting` and `running` jobs abandoned, those the broker will not deliver again: under
// no_ack all of them, under on_take the running ones (acknowledged when taken), under
// after_reply none.
int LostOfAbandoned(const Settings& s, int waiting, int running) {
    if (s.intake_limit <= 0) return waiting + running;
    return s.ack_after_reply ? 0 : running;
}

// Ends the process within stop_timeout + kCloseGraceS of the call (and a little logging):
// status 0 when every request held was finished, 1 when some were abandoned at the deadline.
[[noreturn]] void Stop(const Settings& s) {
    LOG("stopping: no more requests are taken, the ones held are finished");
    const uint64_t before = JobsFinished();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(s.stop_timeout);
    stopping = true;
    acks.Wake();
    char line[300];
    if (WaitUntil(IntakeClosed, deadline) && WaitUntil(PoolIdle, deadline)) {
        if (!CloseConnections(deadline + std::chrono::seconds(kCloseGraceS))) {
            LOG("stopping: the broker did not confirm the close of the connections in time");
        }
        snprintf(line, sizeof line, "stopped: %llu requests finished during the stop",
                 static_cast<unsigned long long>(JobsFinished() - before));
        LOG(line);
        EndProcess(0);
    }
    int waiting, running;
    tpool_counts(&waiting, &running);
    snprintf(line, sizeof line,
             "stopped after %d s: %d requests abandoned, %d of them lost (taken and "
             "acknowledged, not answered); %llu finished",
             s.stop_timeout, waiting + running, LostOfAbandoned(s, waiting, running),
             static_cast<unsigned long long>(JobsFinished() - before));
    LOG(line);
    EndProcess(waiting + running > 0 ? 1 : 0);
}

// The stop thread: SIGHUP is ignored, SIGTERM and SIGINT stop the service; while waiting it
// writes the counters line every stats_interval seconds.
void StopThread(const Settings& s) {
    const sigset_t set = StopSignals();
    for (;;) {
        int sig;
        if (s.stats_interval > 0) {
            struct timespec wait = {s.stats_interval, 0};
            sig = sigtimedwait(&set, nullptr, &wait);
            if (sig < 0) {
                if (errno == EAGAIN) LOG(StatsLine().c_str());
                continue;
            }
        } else if (sigwait(&set, &sig) != 0) {
            continue;
        }
        if (sig == SIGTERM || sig == SIGINT) Stop(s);
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
    std::thread(StopThread, std::cref(s)).detach();
    ConsumeLoop loop(s);
    for (unsigned generation = 1;; ++generation) {
        loop.Serve(generation);
        if (stopping) {
            phase = kDone;
            Park();
        }
        ++Stats().reconnects;
        if (!MovePhase(kConsuming, kPause)) Park();
        PauseBeforeReconnect(s.reconnect_pause);
        if (!MovePhase(kPause, kSetup)) Park();
    }
}
