// The running service. The main thread owns the consumer connection: it consumes, hands each
// delivery to the pool with its context, and sends the acknowledgements that workers queue
// back to it. A stop thread owns the signals: on SIGTERM or SIGINT it closes the intake,
// lets the workers finish what the service holds, and ends the process, or gives up after
// stop_timeout. Signal handling never runs in a signal handler, so it may log.
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
#include "client/amqp_util.h"
#include "client/home.h"
#include "client/job.h"
#include "client/log.h"
#include "client/stats.h"
#include "client/threadpool.h"

namespace {

const int kIdlePauseMs = 1000;       // after a one-second wait that brought nothing
const int kReconnectPauseMs = 10000;  // before a broken consumer is rebuilt
const int kStopPollMs = 10;

// Where the consume loop is. The stop thread takes over from kSetup and kPause (nothing can
// be delivered there), and waits for kClosed (intake closed) and kDone (connection closed).
enum Phase { kSetup, kConsuming, kClosed, kDone, kPause, kTakenOver };

std::atomic<int> phase{kSetup};
std::atomic<bool> stopping{false};
std::atomic<bool> finishing{false};  // the workers are done: last acks, then close
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

// Sends the queued acknowledgements of this connection; those of a replaced one are dropped.
void FlushAcks(CConsumer& consumer, unsigned generation) {
    for (const PendingAck& ack : acks.Take()) {
        if (ack.generation == generation) consumer.Ack(ack.delivery_tag);
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
    bool ready = consumer.Init();
    if (!MovePhase(kSetup, kConsuming)) Park();
    if (ready) acks.SetLive(generation);
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

// Waits out the reconnect pause. The acknowledgements queued meanwhile belong to a connection
// already gone, so they are dropped; left queued, their wake would end every pause at once and
// the loop would spin against a broker that is down.
void PauseBeforeReconnect() {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kReconnectPauseMs);
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

[[noreturn]] void EndProcess() {
    unlink(PidFile().c_str());
    _exit(0);
}

[[noreturn]] void Stop(const Settings& s) {
    LOG("stopping: no more requests are taken, the ones held are finished");
    const uint64_t before = JobsFinished();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(s.stop_timeout);
    stopping = true;
    acks.Wake();
    if (WaitUntil(IntakeClosed, deadline) && WaitUntil(PoolIdle, deadline)) {
        finishing = true;
        acks.Wake();
        WaitUntil([] { int p = phase; return p == kDone || p == kTakenOver; }, deadline);
        tpool_uninit();  // the workers end, closing their reply connections
        char line[200];
        snprintf(line, sizeof line, "stopped: %llu requests finished during the stop",
                 static_cast<unsigned long long>(JobsFinished() - before));
        LOG(line);
        EndProcess();
    }
    int waiting, running;
    tpool_counts(&waiting, &running);
    char line[200];
    snprintf(line, sizeof line, "stopped after %d s: %d requests abandoned (%llu finished)",
             s.stop_timeout, waiting + running,
             static_cast<unsigned long long>(JobsFinished() - before));
    LOG(line);
    EndProcess();
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
        PauseBeforeReconnect();
        if (!MovePhase(kPause, kSetup)) Park();
    }
}
