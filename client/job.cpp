// Jobs on the worker pool: the pool runs RunJob, which acknowledges the delivery when its
// context asks for it, before or after ProcMSG.
#include "client/job.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>

#include "client/MSGOperation.h"
#include "client/amqp_util.h"
#include "client/log.h"
#include "client/threadpool.h"

namespace {

std::atomic<uint64_t> finished{0};

struct Job {
    amqp_envelope_t* env;
    JobContext ctx;
};

void* RunJob(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    const JobContext& ctx = job->ctx;
    if (ctx.acks && !ctx.ack_after_reply) {
        // Its connection is gone, so the broker delivers it again: running it here as well
        // would answer it twice.
        if (!ctx.acks->IsLive(ctx.generation)) {
            ReleaseEnvelope(job->env);
            return nullptr;
        }
        ctx.acks->Push({ctx.delivery_tag, ctx.generation});
    }
    ProcMSG(job->env);
    if (ctx.acks && ctx.ack_after_reply) ctx.acks->Push({ctx.delivery_tag, ctx.generation});
    ++finished;
    return nullptr;
}

}  // namespace

AckQueue::AckQueue() : _fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

AckQueue::~AckQueue() {
    if (_fd >= 0) close(_fd);
}

void AckQueue::Push(const PendingAck& ack) {
    {
        std::lock_guard<std::mutex> hold(_lock);
        _acks.push_back(ack);
    }
    Wake();
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

bool QueueJob(amqp_envelope_t* env, const JobContext& ctx) {
    Job* job = new (std::nothrow) Job{env, ctx};
    if (job && tpool_add_work(RunJob, job) == 0) return true;
    delete job;
    ReleaseEnvelope(env);
    LOG("failed to queue the message, it is dropped");
    return false;
}

uint64_t JobsFinished() {
    return finished;
}
