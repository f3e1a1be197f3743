#include "client/consume_loop.h"

#include <poll.h>

#include <algorithm>
#include <vector>

#include "amqp/connection.h"
#include "client/MQService.h"
#include "client/notify.h"
#include "client/reply_pipelined.h"
#include "client/stop.h"
#include "client/threadpool.h"
#include "core/log.h"
#include "core/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kIdlePauseMs = 1000;  // after a one-second wait that brought nothing
const int kStopPollMs = 10;
// Acknowledgements queued within this of the last flush wait for the rest of it, and while
// deliveries stream in they go out this often: fewer, larger batches are cheaper for the
// broker, but the prefetch window must not run dry meanwhile.
const std::chrono::milliseconds kAckFlush(2);
// A ready acknowledgement held up this long behind an older delivery goes out alone.
const std::chrono::milliseconds kAckHoldUp(20);

// Waits up to timeoutMs for a wake of the AckQueue (or data on `fd`, when not -1).
void WaitForWake(AckQueue& acks, int fd, int timeoutMs) {
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
void FlushAcks(AckQueue& acks, CConsumer& consumer, unsigned generation, AckWindow& window,
               bool all = false) {
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

// No job left, and no reply handed over still waiting for its confirm (under after_reply its
// acknowledgement follows that).
bool PoolIdle() {
    int waiting, running;
    tpool_counts(&waiting, &running);
    return waiting == 0 && running == 0 && RepliesOutstanding() == 0;
}

// Waits until the workers have finished every job and their replies are told, or until `deadline`
// (false). Meanwhile sends their acknowledgements on `consumer`, or drops them when there is none
// (their connection is gone and the broker has taken those deliveries back).
bool FinishHeld(AckQueue& acks, CConsumer* consumer, unsigned generation, AckWindow& window,
                Clock::time_point deadline) {
    for (;;) {
        const bool idle = PoolIdle();  // before the flush, so that the last acks go out
        if (consumer) {
            FlushAcks(acks, *consumer, generation, window, true);
        } else {
            acks.Drop();
        }
        if (idle) return true;
        if (Clock::now() >= deadline) return false;
        NotifyAlive();
        WaitForWake(acks, -1, kStopPollMs);
    }
}

}  // namespace

ConsumeLoop::ConsumeLoop(const Settings& s, StopRecord& stop)
    : _s(s), _stop(stop), _intake(s.intake_limit > 0) {
    // basic.qos counts in 16 bits.
    _cautious.Begin(_intake ? std::min(s.intake_limit + s.workers, 65535) : 0,
                    _intake ? s.cautious_start : 0);
}

void ConsumeLoop::HandOver(char* msg, unsigned generation) {
    EnvelopePtr env(reinterpret_cast<amqp_envelope_t*>(msg));
    JobContext ctx;
    ctx.delivery_tag = env->delivery_tag;
    ctx.generation = generation;
    ctx.acks = _intake ? &_acks : nullptr;
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
        // Also before the sleep: a window that is to widen must not wait for the next wake
        // (under after_reply a slow call may bring none for long).
        if (!AdjustWindow(consumer)) return false;
        if (!buffered) Sleep(consumer.SocketFd());
        if (!AdjustWindow(consumer)) return false;
        const Clock::time_point now = Clock::now();
        if (!buffered || now - _flushed >= kAckFlush) {
            FlushAcks(_acks, consumer, generation, _window);
            _flushed = now;
        }
        ret = consumer.ConsumeMessage(&msg, timeval{0, 0});
    } else {
        ret = consumer.ConsumeMessage(&msg);
        if (ret == kConsumeNothing) WaitForWake(_acks, -1, kIdlePauseMs);
    }
    if (ret == kConsumeDelivered) HandOver(msg, generation);
    return ret != kConsumeBroken;
}

bool ConsumeLoop::AdjustWindow(CConsumer& consumer) {
    // Before the flush, while a delivery is held unacknowledged: at a window of 1 the broker
    // then has nothing on its way that the cancel would send back, counted.
    const int window = _cautious.Window();
    return _window.Empty() || window == consumer.Prefetch() || consumer.Reconsume(window);
}

void ConsumeLoop::Sleep(int socket) {
    const Clock::time_point now = Clock::now();
    Clock::time_point until = now + std::chrono::milliseconds(kIdlePauseMs);
    const Clock::time_point ready = _window.EarliestReady();
    if (ready != Clock::time_point()) until = std::min(until, ready + kAckHoldUp);
    WaitForWake(_acks, socket, MsUntil(now, until));
    const Clock::time_point woken = Clock::now();
    if (_acks.QueuedUnawaited() && woken < _flushed + kAckFlush) {
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
    if (FinishHeld(_acks, consumer, generation, _window, _stop.Deadline())) {
        _stop.Drained();
        tpool_uninit();
    } else {
        _stop.Abandon();
        tpool_drop_waiting();
    }
}

bool ConsumeLoop::Serve(unsigned generation) {
    if (_stop.Begun()) {
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
    consumer.SetKeepGoing([this] {
        NotifyAlive();
        return !_stop.Begun();
    });
    const bool ready = consumer.Init();
    if (ready) {
        _acks.SetLive(generation);
        LogConsumer("started", "on " + consumer.Where());
        Stats().consuming = true;
        NotifyReady();
    }
    if (!consumer.HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(consumer.HostFailures().c_str());
    }
    while (ready && !_stop.Begun() && Turn(consumer, generation)) {}
    if (_stop.Begun()) {
        RunStop(ready ? &consumer : nullptr, generation);
        return true;  // the destructor closes the connection
    }
    _acks.SetLive(0);
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

// Waits out the reconnect pause of `seconds`, or until a stop begins, a second at a time for
// the watchdog. The acknowledgements queued meanwhile belong to a connection already gone, so
// they are dropped; left queued, their wake would end every pause at once and the loop would
// spin against a broker that is down.
void ConsumeLoop::PauseBeforeReconnect(int seconds) {
    NotifyStatus("the broker connection is lost: reconnecting in " + std::to_string(seconds) +
                 " s");
    const Clock::time_point end = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
    for (Clock::time_point now; (now = Clock::now()) < end && !_stop.Begun();) {
        NotifyAlive();
        _acks.Drop();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        WaitForWake(_acks, -1, int(std::min<long long>(left + 1, kIdlePauseMs)));
    }
}
