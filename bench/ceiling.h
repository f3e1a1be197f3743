// The broker-bound ceiling: the benchmark's own responder, ten threads that answer requests
// the way the daemon's reply path does on a warm connection (basic.publish + tx.commit on a
// transactional channel, or basic.publish + the wait for its basic.ack on a confirm-mode one)
// and do nothing else, so the broker is the only limit left.
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
};

// Each thread owns one connection: channel 1 in transaction mode (tx.select once) carries the
// replies, channel 2 consumes the queue, so the transaction holds the reply alone, as the
// daemon's does. With confirms the replies take a second connection (channel 1 in confirm
// mode), since waiting for a confirm reads every frame of its connection.
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
