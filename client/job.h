// The hand-off from the consume loop to a worker: a job owns its delivered envelope, knows
// where it came from, and has the way back for its acknowledgement. Acknowledgements travel
// through an AckQueue to the consume loop's thread, the only one that may use the consumer
// connection, which batches them with an AckWindow.
#ifndef TOLVANE_CLIENT_JOB_H
#define TOLVANE_CLIENT_JOB_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "client/MSGOperation.h"

// A worker waiting until the consume loop has written its acknowledgement (or dropped it).
struct AckWait {
    bool done = false;
    bool written = false;
    uint64_t taken_key = 0;  // of the taken record: forgotten by the owner when dropped
};

struct PendingAck {
    uint64_t delivery_tag;
    unsigned generation;
    bool requeue = false;     // basic.reject with requeue instead of basic.ack
    AckWait* wait = nullptr;  // set: a worker waits for it, so it goes out in the next flush
};

class AckQueue {
public:
    AckQueue();
    ~AckQueue();
    AckQueue(const AckQueue&) = delete;
    AckQueue& operator=(const AckQueue&) = delete;

    // Any thread: queues an acknowledgement; the first one queued since the owner's last
    // Take wakes it.
    void Push(const PendingAck& ack);
    // A worker: queues the acknowledgement of a delivery and waits until the owner has written
    // it to the broker (true), or dropped it with its connection (false: never written, so
    // the broker delivers it again). Returns at once, false, when the connection is gone.
    // `takenKey` (0: none) is in the taken record from the queueing on, unless dropped.
    bool PushAndAwait(PendingAck ack, uint64_t takenKey);
    // Any thread, signal handlers excepted: wakes the owner with nothing queued.
    void Wake();
    // Owner: what was queued since the last call, oldest first; also clears the wake. Every
    // Take is followed by a Done for what it returned, or the workers waiting stay waiting.
    std::vector<PendingAck> Take();
    // Owner: the entries of a Take are dealt with: those of `generation` were written, the
    // rest dropped (0: all dropped). Their waiting workers go on.
    void Done(const std::vector<PendingAck>& batch, unsigned generation);
    // Owner: takes and drops everything queued; its connection is gone.
    void Drop() { Done(Take(), 0); }
    // Owner: something was queued since the last Take and no worker waits for any of it; an
    // awaited one is to go out at once, since a call waits on it.
    bool QueuedUnawaited();
    // Owner: readable while a wake is pending.
    int WakeFd() const { return _fd; }
    // Owner: the consumer connection whose deliveries can still be acknowledged (0: none).
    void SetLive(unsigned generation) { _live = generation; }
    bool IsLive(unsigned generation) const { return _live == generation; }

private:
    std::mutex _lock;
    std::condition_variable _done;
    std::vector<PendingAck> _acks;
    int _fd;
    std::atomic<unsigned> _live{0};
};

// The deliveries of one consumer connection that are not settled yet, oldest first, for the
// consume loop's thread: one basic.ack with multiple=true settles the run of ready ones from
// the oldest. A ready one held up behind an older one for long is acknowledged alone, so a
// slow call cannot stall the intake window.
class AckWindow {
public:
    using Clock = std::chrono::steady_clock;

    void Delivered(uint64_t tag) { _held.emplace(tag, Clock::time_point()); }
    // Its acknowledgement may be sent.
    void Ready(uint64_t tag, Clock::time_point now);
    // Ready, and sent in this flush even when held up behind an older one: a worker waits
    // for it before the plug-in call begins.
    void ReadyNow(uint64_t tag) { Ready(tag, kLongAgo); }
    // Rejected with requeue already: no longer the broker's to count as unacknowledged.
    void Settled(uint64_t tag) { _held.erase(tag); }
    // The newest tag of the run of ready ones from the oldest held, which one multiple
    // acknowledgement settles; 0 when the oldest is not ready. The run is settled.
    uint64_t TakeRun();
    // The ready ones held up since before `since` (all of them with the maximum time point),
    // to be acknowledged one by one; they are settled.
    std::vector<uint64_t> TakeHeldUp(Clock::time_point since);
    bool Empty() const { return _held.empty(); }
    // No later than when the earliest ready one still held became ready; zero when none is.
    Clock::time_point EarliestReady() const { return _earliest; }

private:
    static constexpr Clock::time_point kLongAgo = Clock::time_point(Clock::duration(1));

    std::map<uint64_t, Clock::time_point> _held;  // tag -> when it became ready (zero: not yet)
    Clock::time_point _earliest;
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

// Sizes the records of requests taken (on_take) and answered (after_reply) that tell a copy
// the broker delivers again from a new request: `window` is the most deliveries the broker
// holds unacknowledged for this daemon at once (intake_limit + workers).
void SizeRequestRecords(size_t window);

// Jobs that have run to their end since the start.
uint64_t JobsFinished();

#endif
