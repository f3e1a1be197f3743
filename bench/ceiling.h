// The broker-bound ceiling: the benchmark's own responder, ten threads that answer requests
// the way the daemon's reply path does on a warm connection (basic.publish + tx.commit on a
// transactional channel, or basic.publish + the wait for its basic.ack on a confirm-mode one)
// and do nothing else, so the broker is the only limit left; or ceiling P, one thread that
// pipelines its confirms as reply_connection=pipelined does.
#ifndef TOLVANE_BENCH_CEILING_H
#define TOLVANE_BENCH_CEILING_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "amqp/connection.h"
#include "bench/responder.h"

struct CeilingOptions {
    AmqpLogin login;
    std::string queue;
    int threads = 10;
    // Deliveries each thread may hold unacknowledged: enough that a thread always has the
    // next request at hand, few enough that the threads share the backlog.
    int prefetch = 20;
    bool acks = false;     // consume with acknowledgements (and the prefetch), or no_ack
    bool confirm = false;  // replies confirmed (confirm.select) instead of committed
    // Ceiling P (bench/ceiling_pipelined.h): with acks and confirm, each thread publishes
    // without waiting and acknowledges once the confirms came; run with one thread.
    bool pipelined = false;
};

// Publishes the reply the daemon would send for the request `env`: a RESULT carrying its
// guid, to the exchange its head names with the daemon's properties. The library's status.
int PublishCeilingReply(amqp_connection_state_t replyConn, amqp_channel_t channel,
                        const amqp_envelope_t& env);

// Each thread owns two connections, as the daemon has its consumer and its workers' reply
// connections: channel 2 of one consumes the queue, channel 1 of the other, in transaction
// mode (tx.select once) or confirm mode (confirm.select once), carries the replies. Apart,
// a commit or a confirm is not held up by deliveries queued before it (without acks the
// broker sends a thread its whole share of the backlog at once).
class Ceiling : public Responder {
public:
    explicit Ceiling(const CeilingOptions& options) : _options(options) {}
    ~Ceiling() override { Stop(); }

    // Returns once every thread consumes, or false with the first thread's failure.
    bool Start(std::string* error) override;
    // CPU time of the ten threads so far; MUST be called while they run (before Stop).
    double CpuSeconds() const override;
    long PeakRssKb() const override { return -1; }
    void Stop() override;
    // The first failure of any thread; empty while all went well.
    std::string Error() const;

private:
    void Serve();
    bool Setup(amqp_connection_state_t conn, amqp_connection_state_t replyConn);
    // The reply's publish and its commit or confirm, then the request's ack when consumed so.
    bool Answer(amqp_connection_state_t conn, amqp_connection_state_t replyConn,
                const amqp_envelope_t& env, uint64_t* published, std::string* error);
    void Fail(const std::string& what);

    CeilingOptions _options;
    std::vector<std::thread> _threads;
    std::atomic<bool> _stop{false};
    std::atomic<int> _ready{0};
    std::atomic<int> _failed{0};
    mutable std::mutex _mutex;
    std::string _error;  // the first failure, under _mutex
};

#endif
