// Requester side of the service's protocol: talks to the broker on one connection of its own
// (channel 1) to send requests (built with amqp/wire.h) and collect the RESULT records that
// come back. Used by tolvane-call, the benchmark and the tests.
#ifndef TOLVANE_REQUESTER_CALL_CLIENT_H
#define TOLVANE_REQUESTER_CALL_CLIENT_H

#include <string>
#include <vector>

#include "amqp/broker.h"

struct amqp_connection_state_t_;
struct AmqpReplyCheck;

// The service's own broker defaults; the request client talks to the broker it serves.
using BrokerOptions = BrokerSettings;

// A guid unique enough for one requester host: pid, time and a counter.
std::string NewGuid();

// The arguments of a declared queue.
struct QueueKind {
    bool quorum = false;             // x-queue-type=quorum: kept on every cluster node
    int deliveryLimit = 0;           // x-delivery-limit (quorum only); 0: none
    std::string deadLetterExchange;  // x-dead-letter-exchange; empty: none
};

class CallClient {
public:
    explicit CallClient(const BrokerOptions& options);
    ~CallClient();
    CallClient(const CallClient&) = delete;
    CallClient& operator=(const CallClient&) = delete;

    // TCP connect, login, channel 1; every step bounded by `timeout_s`.
    bool Connect(int timeoutS);
    // Durable queue, created when missing (the service only consumes an existing queue).
    bool DeclareQueue(const std::string& queue, const QueueKind& kind = QueueKind());
    // Fails with a clear text when the queue does not exist; can tell how many messages wait.
    bool CheckQueue(const std::string& queue, int* messages = nullptr);
    // Declares the direct exchange `platform` and an exclusive queue bound to it with the
    // routing key `platform`, and starts consuming it: the replies of our requests land there.
    bool Listen(const std::string& platform);
    // Publishes `body` to `queue` through the default exchange.
    bool Publish(const std::string& queue, const std::string& body);
    // 1: a RESULT arrived (guid and text filled); 0: none within timeout_ms; -1: broker error.
    int WaitReply(int timeoutMs, std::string* guid, std::string* text);
    const std::string& Error() const { return _error; }

private:
    // Whether the RPC just made succeeded; otherwise _error is `what` and the broker's text.
    bool Check(const char* what);
    bool Checked(const std::string& what, const AmqpReplyCheck& check);

    BrokerOptions _options;
    amqp_connection_state_t_* _conn = nullptr;
    bool _channelOpen = false;
    std::string _replyQueue;
    std::string _error;
};

#endif
