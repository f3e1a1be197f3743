// Jobs on the worker pool: the pool runs RunJob, which runs ProcMSG on the envelope.
#include "client/job.h"

#include <memory>
#include <new>

#include "client/MSGOperation.h"
#include "client/amqp_util.h"
#include "client/log.h"
#include "client/threadpool.h"

namespace {

struct Job {
    amqp_envelope_t* env;
    JobContext ctx;
};

void* RunJob(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    ProcMSG(job->env);
    return nullptr;
}

}  // namespace

bool QueueJob(amqp_envelope_t* env, const JobContext& ctx) {
    Job* job = new (std::nothrow) Job{env, ctx};
    if (job && tpool_add_work(RunJob, job) == 0) return true;
    delete job;
    ReleaseEnvelope(env);
    LOG("failed to queue the message, it is dropped");
    return false;
}
