// The hand-off from the consume loop to a worker: a delivered envelope together with where it
// came from, so that what must follow a job (an acknowledgement, say) knows its delivery.
#ifndef TOLVANE_JOB_H
#define TOLVANE_JOB_H

#include <stdint.h>

#include "client/rabbit.h"

struct JobContext {
    uint64_t delivery_tag = 0;  // the broker's tag for the delivery on its connection
    unsigned generation = 0;    // which consumer connection delivered it
};

// Queues ProcMSG for `env` (malloc'ed, owned by the job from here on) with its context.
// False when no job could be queued: the envelope is then released and the drop logged.
bool QueueJob(amqp_envelope_t* env, const JobContext& ctx);

#endif
