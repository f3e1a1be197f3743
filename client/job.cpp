// Jobs on the worker pool: the pool runs RunJob, which acknowledges the delivery when its
// context asks for it, before or after the message is handled, and sends a request whose
// reply was lost with its connection back to the broker. The Job owns its envelope, so the
// envelope is released once, whether the job ran, was skipped or was discarded unrun.
#include "client/job.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "client/MSGOperation.h"
#include "amqp/connection.h"
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

// The requests running now, by key, with the deliveries of a running request that the broker
// sent again meanwhile (its consumer timeout closed the channel under a long call, say): those
// wait for the running call and are settled with its reply instead of running a second time.
class RunningRequests {
public:
    // Registers a run of `key`; false, with `delivery` joined to the run, when it is a
    // redelivery of a request running now.
    bool Start(uint64_t key, bool redelivered, const PendingAck& delivery) {
        std::lock_guard<std::mutex> hold(_lock);
        auto it = _runs.find(key);
        if (redelivered && it != _runs.end()) {
            it->second.joined.push_back(delivery);
            return false;
        }
        ++_runs[key].count;
        return true;
    }

    // Ends a run of `key`; the deliveries joined to it, to be settled as its own.
    std::vector<PendingAck> Finish(uint64_t key) {
        std::lock_guard<std::mutex> hold(_lock);
        auto it = _runs.find(key);
        std::vector<PendingAck> joined;
        joined.swap(it->second.joined);
        if (--it->second.count == 0) _runs.erase(it);
        return joined;
    }

private:
    struct Run {
        int count = 0;  // a requester may send the very same request twice
        std::vector<PendingAck> joined;
    };
    std::mutex _lock;
    std::map<uint64_t, Run> _runs;
};

RunningRequests running;

// The broker's consumer_timeout, which a client cannot read: RabbitMQ's default. A copy of a
// request comes back at the latest about one timeout after its reply (the channel of a copy
// that waited on the running call closes then), so records keep twice that.
const std::chrono::minutes kConsumerTimeout(30);
// Past the count a window calls for, no record holds more than this (1 MiB each).
const size_t kRecordMost = 65536;

// The latest requests taken (or answered) here, by key: always the `least` newest, and besides
// those each one younger than two consumer timeouts, up to `most`. A ring allocated whole on
// first use, so that a daemon's memory does not creep while it fills: adding is a store, and
// only a redelivered request (rare) pays a scan.
class RequestRecord {
public:
    using Clock = std::chrono::steady_clock;

    void Size(size_t least, size_t most) {
        std::lock_guard<std::mutex> hold(_lock);
        _least = least;
        _most = std::max(least, most);
        _ring.clear();
        _next = _filled = 0;
    }

    void Add(uint64_t key) {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> hold(_lock);
        if (_ring.empty()) _ring.assign(_most, Entry());
        _ring[_next] = Entry{key, now};
        _next = (_next + 1) % _ring.size();
        _filled = std::min(_filled + 1, _ring.size());
    }

    // Undoes the latest Add of `key`.
    void Remove(uint64_t key) {
        std::lock_guard<std::mutex> hold(_lock);
        Entry* e = Find(key, Clock::now());
        if (e) e->key = 0;
    }

    bool Contains(uint64_t key) {
        std::lock_guard<std::mutex> hold(_lock);
        return Find(key, Clock::now()) != nullptr;
    }

private:
    struct Entry {
        uint64_t key = 0;  // 0: none (a request's key is never 0)
        Clock::time_point at;
    };

    // Newest first; past the `least` newest, only those younger than two consumer timeouts.
    Entry* Find(uint64_t key, Clock::time_point now) {
        for (size_t i = 0; i < _filled; ++i) {
            Entry& e = _ring[(_next + _ring.size() - 1 - i) % _ring.size()];
            if (i >= _least && now - e.at > 2 * kConsumerTimeout) break;
            if (e.key == key) return &e;
        }
        return nullptr;
    }

    std::mutex _lock;
    size_t _least = 2 * 65535, _most = 2 * 65535;
    std::vector<Entry> _ring;
    size_t _next = 0, _filled = 0;
};

// Under on_take, the requests taken: a connection lost after an acknowledgement was written
// but before the broker read it has the broker deliver that request again, and one taken here
// already is then acknowledged, not run a second time.
RequestRecord taken;
// Under after_reply, the requests answered: a copy the broker delivers again after the reply
// (its channel closed under the call, or its acknowledgement lost with the connection) is
// acknowledged, not run a second time.
RequestRecord answered;

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

void LogAnsweredAgain(const std::string& guid) {
    const std::string line = "the request " + VisibleControls(guid.c_str()) +
                             " was delivered again after it was answered: it is acknowledged, " +
                             "not run a second time";
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

// Under on_take: the acknowledgement is written before the call begins, so a call that ends
// the process cannot leave it unsent and have every restart take the request again. False
// when it was not run.
bool RunOnTake(const Request& r, const JobContext& ctx) {
    const PendingAck delivery{ctx.delivery_tag, ctx.generation};
    if (r.key != 0 && r.redelivered && taken.Contains(r.key)) {
        Settle(ctx.acks, {delivery}, ReplyFate::kDone);
        LogTakenAgain(r.Guid());
        return false;
    }
    // Not written means the broker delivers it again, and that copy is to run: the owner
    // forgets the key before it takes deliveries on a new connection.
    if (!ctx.acks->PushAndAwait(delivery, r.key)) return false;
    HandleRequest(r, [](ReplyFate) {});
    return true;
}

// Under after_reply; false when it was not run.
bool RunAfterReply(const Request& r, const JobContext& ctx) {
    const uint64_t key = r.key;
    const PendingAck delivery{ctx.delivery_tag, ctx.generation};
    if (key != 0 && !running.Start(key, r.redelivered, delivery)) {
        LogRedelivered(r.Guid());
        return false;
    }
    if (key != 0 && r.redelivered && answered.Contains(key)) {
        std::vector<PendingAck> settle = running.Finish(key);
        settle.push_back(delivery);
        Settle(ctx.acks, settle, ReplyFate::kDone);
        LogAnsweredAgain(r.Guid());
        return false;
    }
    // The one place an after_reply delivery is settled: when its reply's fate is known.
    AckQueue* acks = ctx.acks;
    HandleRequest(r, [key, delivery, acks](ReplyFate fate) {
        std::vector<PendingAck> settle = key == 0 ? std::vector<PendingAck>() : running.Finish(key);
        // Every one, not only those whose connection is gone by now: the connection may still
        // go before the acknowledgement queued below is written.
        if (key != 0 && fate == ReplyFate::kDone) answered.Add(key);
        settle.push_back(delivery);
        Settle(acks, settle, fate);
    });
    return true;
}

// A delivery consumed with acknowledgements; false when it was not run.
bool RunAcknowledged(const Request& r, const JobContext& ctx) {
    // Its connection is gone, so the broker delivers it again (under either ack_mode, since it
    // was not acknowledged yet): running it here as well would answer it twice.
    if (!ctx.acks->IsLive(ctx.generation)) return false;
    return ctx.ack_after_reply ? RunAfterReply(r, ctx) : RunOnTake(r, ctx);
}

void* RunJob(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    // Read once: the records below, the run and its reply all take it from here.
    const Request r = ParseRequest(*job->env);
    if (!job->ctx.acks) {
        HandleRequest(r, [](ReplyFate) {});
    } else if (!RunAcknowledged(r, job->ctx)) {
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
    bool first;
    {
        std::lock_guard<std::mutex> hold(_lock);
        first = _acks.empty();
        _acks.push_back(ack);
    }
    if (first) Wake();
}

bool AckQueue::PushAndAwait(PendingAck ack, uint64_t takenKey) {
    AckWait wait;
    wait.taken_key = takenKey;
    ack.wait = &wait;
    std::unique_lock<std::mutex> lock(_lock);
    // Checked under the lock: the owner marks a connection gone before it drops what is
    // queued, so an entry queued here is either written or dropped, never left behind.
    if (!IsLive(ack.generation)) return false;
    // Recorded before the write, so that a copy the broker sends on a new connection finds it.
    if (takenKey != 0) taken.Add(takenKey);
    _acks.push_back(ack);
    lock.unlock();
    Wake();
    lock.lock();
    _done.wait(lock, [&wait] { return wait.done; });
    return wait.written;
}

void AckQueue::Done(const std::vector<PendingAck>& batch, unsigned generation) {
    std::lock_guard<std::mutex> hold(_lock);
    bool any = false;
    for (const PendingAck& ack : batch) {
        if (!ack.wait) continue;
        ack.wait->written = generation != 0 && ack.generation == generation;
        if (!ack.wait->written && ack.wait->taken_key != 0) taken.Remove(ack.wait->taken_key);
        ack.wait->done = true;
        any = true;
    }
    if (any) _done.notify_all();
}

bool AckQueue::QueuedUnawaited() {
    std::lock_guard<std::mutex> hold(_lock);
    return !_acks.empty() && std::none_of(_acks.begin(), _acks.end(),
                                          [](const PendingAck& a) { return a.wait != nullptr; });
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
    if (it == _held.end()) return;
    it->second = now;
    if (_earliest == Clock::time_point() || now < _earliest) _earliest = now;
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
    _earliest = Clock::time_point();
    for (auto it = _held.begin(); it != _held.end();) {
        const bool ready = it->second != Clock::time_point();
        if (ready && it->second < since) {
            tags.push_back(it->first);
            it = _held.erase(it);
            continue;
        }
        if (ready && (_earliest == Clock::time_point() || it->second < _earliest)) {
            _earliest = it->second;
        }
        ++it;
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

void SizeRequestRecords(size_t window) {
    // Twice the window: the copies of one lost connection may come back after as many new
    // deliveries on the next.
    const size_t least = 2 * std::max<size_t>(window, 1);
    taken.Size(least, kRecordMost);
    answered.Size(least, kRecordMost);
}

uint64_t JobsFinished() {
    return finished;
}
