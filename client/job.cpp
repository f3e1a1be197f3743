// Jobs on the worker pool: the pool runs RunJob, which acknowledges the delivery when its
// context asks for it, before or after the message is handled, and sends a request whose
// reply was lost with its connection back to the broker. The Job owns its envelope, so the
// envelope is released once, whether the job ran, was skipped or was discarded unrun.
#include "client/job.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "client/MSGOperation.h"
#include "amqp/connection.h"
#include "amqp/wire.h"
#include "core/log.h"
#include "client/threadpool.h"
#include "defines.h"

namespace {

// Before a request whose reply was lost goes back to the broker: a reply path that keeps
// failing at once must not spin the request through the plug-in.
const std::chrono::seconds kLostReplyPause(1);

std::atomic<uint64_t> finished{0};

struct Job {
    EnvelopePtr env;
    JobContext ctx;
};

// The requests running now, by guid, with the deliveries of a running request that the broker
// sent again meanwhile (its consumer timeout closed the channel under a long call, say): those
// wait for the running call and are settled with its reply instead of running a second time.
class RunningRequests {
public:
    // Registers a run of `guid`; false, with `delivery` joined to the run, when it is a
    // redelivery of a request running now.
    bool Start(const std::string& guid, bool redelivered, const PendingAck& delivery) {
        std::lock_guard<std::mutex> hold(_lock);
        auto it = _runs.find(guid);
        if (redelivered && it != _runs.end()) {
            it->second.joined.push_back(delivery);
            return false;
        }
        ++_runs[guid].count;
        return true;
    }

    // Ends a run of `guid`; the deliveries joined to it, to be settled as its own.
    std::vector<PendingAck> Finish(const std::string& guid) {
        std::lock_guard<std::mutex> hold(_lock);
        auto it = _runs.find(guid);
        std::vector<PendingAck> joined;
        joined.swap(it->second.joined);
        if (--it->second.count == 0) _runs.erase(it);
        return joined;
    }

private:
    struct Run {
        int count = 0;  // a requester may reuse a guid for requests of its own
        std::vector<PendingAck> joined;
    };
    std::mutex _lock;
    std::map<std::string, Run> _runs;
};

RunningRequests running;

// How many of the latest guids taken under on_take are kept: far more than are taken between
// two acknowledgement flushes, or held by the broker's prefetch when the connection comes back.
const size_t kTakenKept = 8192;

// The guids of the latest requests taken under on_take. Their acknowledgements go out in
// batches, so a connection lost meanwhile has the broker deliver some of them again; one that
// was taken here already is then acknowledged, not run a second time.
class TakenRequests {
public:
    void Add(const std::string& guid) {
        std::lock_guard<std::mutex> hold(_lock);
        if (_order.size() == kTakenKept) {
            auto oldest = _count.find(_order.front());
            if (--oldest->second == 0) _count.erase(oldest);
            _order.pop_front();
        }
        _order.push_back(guid);
        ++_count[guid];
    }

    bool Contains(const std::string& guid) {
        std::lock_guard<std::mutex> hold(_lock);
        return _count.count(guid) != 0;
    }

private:
    std::mutex _lock;
    std::deque<std::string> _order;
    std::unordered_map<std::string, int> _count;  // a requester may reuse a guid
};

TakenRequests taken;

// The request's guid as the head holds it (empty for a body too short to hold one).
std::string GuidOf(const amqp_envelope_t& env) {
    const amqp_bytes_t& body = env.message.body;
    if (!body.bytes || body.len < sizeof(T_MSG_HEAD)) return std::string();
    return DecodeHead(body.bytes, body.len).guid;
}

void LogRedelivered(const std::string& guid) {
    const std::string line = "the request " + VisibleControls(guid.c_str()) +
                             " was delivered again while it runs: it is answered once, when " +
                             "the running call ends";
    LOG(line.c_str());
}

void LogTakenAgain(const std::string& guid) {
    const std::string line = "the request " + VisibleControls(guid.c_str()) +
                             " was delivered again after it was taken: under ack_mode=on_take " +
                             "it is not run a second time";
    LOG(line.c_str());
}

// Settles `deliveries` as the reply's fate says: acknowledged, or sent back to be answered again.
void Settle(AckQueue* acks, std::vector<PendingAck> deliveries, ReplyFate fate) {
    if (fate == ReplyFate::kLost) std::this_thread::sleep_for(kLostReplyPause);
    for (PendingAck& d : deliveries) {
        d.requeue = fate == ReplyFate::kLost;
        acks->Push(d);
    }
}

// A delivery consumed with acknowledgements; false when it was not run.
bool RunAcknowledged(const amqp_envelope_t& env, const JobContext& ctx) {
    // Its connection is gone, so the broker delivers it again (under either ack_mode, since it
    // was not acknowledged yet): running it here as well would answer it twice.
    if (!ctx.acks->IsLive(ctx.generation)) return false;
    const PendingAck delivery{ctx.delivery_tag, ctx.generation};
    const std::string guid = GuidOf(env);
    if (!guid.empty() && !running.Start(guid, env.redelivered, delivery)) {
        LogRedelivered(guid);
        return false;
    }
    const bool onTake = !ctx.ack_after_reply && !guid.empty();
    if (onTake && env.redelivered && taken.Contains(guid)) {
        std::vector<PendingAck> settle = running.Finish(guid);
        settle.push_back(delivery);
        Settle(ctx.acks, settle, ReplyFate::kDone);
        LogTakenAgain(guid);
        return false;
    }
    if (onTake) taken.Add(guid);
    if (!ctx.ack_after_reply) ctx.acks->Push(delivery);
    const ReplyFate fate = HandleMessage(env);
    std::vector<PendingAck> settle =
        guid.empty() ? std::vector<PendingAck>() : running.Finish(guid);
    if (ctx.ack_after_reply) settle.push_back(delivery);
    if (!settle.empty()) Settle(ctx.acks, settle, fate);
    return true;
}

void* RunJob(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    if (!job->ctx.acks) {
        HandleMessage(*job->env);
    } else if (!RunAcknowledged(*job->env, job->ctx)) {
        return nullptr;
    }
    ++finished;
    return nullptr;
}

// A job the pool discarded unrun (a stop abandoned it): its delivery goes back to the broker
// with the consumer connection, or is lost under no_ack.
void DropJob(void* arg) {
    delete static_cast<Job*>(arg);
}

}  // namespace

AckQueue::AckQueue() : _fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

AckQueue::~AckQueue() {
    if (_fd >= 0) close(_fd);
}

void AckQueue::Push(const PendingAck& ack) {
    std::lock_guard<std::mutex> hold(_lock);
    _acks.push_back(ack);
}

void AckQueue::Wake() {
    uint64_t one = 1;
    ssize_t n = write(_fd, &one, sizeof one);
    (void)n;  // only fails when the counter is already far past zero: the owner wakes anyway
}

std::vector<PendingAck> AckQueue::Take() {
    uint64_t count;
    ssize_t n = read(_fd, &count, sizeof count);
    (void)n;  // nothing pending is no failure
    std::vector<PendingAck> taken;
    std::lock_guard<std::mutex> hold(_lock);
    taken.swap(_acks);
    return taken;
}

void AckWindow::Ready(uint64_t tag, Clock::time_point now) {
    auto it = _held.find(tag);
    if (it != _held.end()) it->second = now;
}

uint64_t AckWindow::TakeRun() {
    uint64_t last = 0;
    auto it = _held.begin();
    for (; it != _held.end() && it->second != Clock::time_point(); ++it) last = it->first;
    _held.erase(_held.begin(), it);
    return last;
}

std::vector<uint64_t> AckWindow::TakeHeldUp(Clock::time_point since) {
    std::vector<uint64_t> tags;
    for (auto it = _held.begin(); it != _held.end();) {
        const bool ready = it->second != Clock::time_point();
        if (ready && it->second < since) {
            tags.push_back(it->first);
            it = _held.erase(it);
        } else {
            ++it;
        }
    }
    return tags;
}

bool QueueJob(EnvelopePtr env, const JobContext& ctx) {
    // Should the Job not be made, `env` keeps the envelope and releases it on return.
    std::unique_ptr<Job> job(new (std::nothrow) Job{std::move(env), ctx});
    if (job && tpool_add_work(RunJob, job.get(), DropJob) == 0) {
        static_cast<void>(job.release());  // the pool's now: RunJob or DropJob
        return true;
    }
    LOG("failed to queue the message, it is dropped");
    return false;
}

uint64_t JobsFinished() {
    return finished;
}
