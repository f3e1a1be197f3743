// The hand-off from the consume loop to a worker: a job owns its delivered envelope, knows
// where it came from, and has the way back for its acknowledgement. Acknowledgements travel
// through an AckQueue to the consume loop's thread, the only one that may use the consumer
// connection.
#ifndef TOLVANE_CLIENT_JOB_H
#define TOLVANE_CLIENT_JOB_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "client/MSGOperation.h"

struct PendingAck {
    uint64_t delivery_tag;
    unsigned generation;
    bool requeue = false;  // basic.reject with requeue instead of basic.ack
};

class AckQueue {
public:
    AckQueue();
    ~AckQueue();
    AckQueue(const AckQueue&) = delete;
    AckQueue& operator=(const AckQueue&) = delete;

    // Any thread: queues an acknowledgement and wakes the owner.
    void Push(const PendingAck& ack);
    // Any thread, signal handlers excepted: wakes the owner with nothing queued.
    void Wake();
    // Owner: what was queued since the last call, oldest first; also clears the wake.
    std::vector<PendingAck> Take();
    // Owner: readable while something was queued or a wake is pending.
    int WakeFd() const { return _fd; }
    // Owner: the consumer connection whose deliveries can still be acknowledged (0: none).
    void SetLive(unsigned generation) { _live = generation; }
    bool IsLive(unsigned generation) const { return _live == generation; }

private:
    std::mutex _lock;
    std::vector<PendingAck> _acks;
    int _fd;
    std::atomic<unsigned> _live{0};
};

struct JobContext {
    uint64_t delivery_tag = 0;     // the broker's tag for the delivery on its connection
    unsigned generation = 0;       // which consumer connection delivered it
    AckQueue* acks = nullptr;      // null: consumed no_ack, nothing to acknowledge
    bool ack_after_reply = false;  // acknowledge once the reply is done with, not when taken
};

// Queues a job handling `env` with its context; the job owns the envelope from here on.
// False when no job could be queued: the envelope is then released and the drop logged.
bool QueueJob(EnvelopePtr env, const JobContext& ctx);

// Jobs that have run to their end since the start.
uint64_t JobsFinished();

#endif
