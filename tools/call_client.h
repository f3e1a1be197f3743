// Requester side of the service's protocol: builds request bodies from key=value parameters
// and talks to the broker on one connection of its own (channel 1) to send requests and
// collect the RESULT records that come back. Used by tolvane-call and the benchmark.
#ifndef TOLVANE_CALL_CLIENT_H
#define TOLVANE_CALL_CLIENT_H

#include <string>
#include <vector>

#include "client/settings.h"

struct amqp_connection_state_t_;

// The service's own broker defaults; the request client talks to the broker it serves.
using BrokerOptions = BrokerSettings;

// One call record's parameter text: the key=value items, each closed by CR LF.
std::string ParamText(const std::vector<std::string>& items);
// MSG_HEAD + one MSG_SEND per parameter text. False with `error` set when a text or the
// guid/platform does not fit its field.
bool BuildRequest(const std::string& guid, const std::string& platform,
                  const std::vector<std::string>& paramTexts, std::string* body,
                  std::string* error);
// A guid unique enough for one requester host: pid, time and a counter.
std::string NewGuid();

class CallClient {
public:
    explicit CallClient(const BrokerOptions& options);
    ~CallClient();
    CallClient(const CallClient&) = delete;
    CallClient& operator=(const CallClient&) = delete;

    // TCP connect, login, channel 1; every step bounded by `timeout_s`.
    bool Connect(int timeout_s);
    // Durable queue, created when missing (the service only consumes an existing queue).
    // `quorum` asks for a quorum queue (x-queue-type=quorum), kept on every cluster node.
    bool DeclareQueue(const std::string& queue, bool quorum = false);
    // Fails with a clear text when the queue does not exist; can tell how many messages wait.
    bool CheckQueue(const std::string& queue, int* messages = nullptr);
    // Declares the direct exchange `platform` and an exclusive queue bound to it with the
    // routing key `platform`, and starts consuming it: the replies of our requests land there.
    bool Listen(const std::string& platform);
    // Publishes `body` to `queue` through the default exchange.
    bool Publish(const std::string& queue, const std::string& body);
    // 1: a RESULT arrived (guid and text filled); 0: none within timeout_ms; -1: broker error.
    int WaitReply(int timeout_ms, std::string* guid, std::string* text);
    const std::string& Error() const { return error_; }

private:
    bool Check(const char* what);

    BrokerOptions options_;
    amqp_connection_state_t_* conn_ = nullptr;
    bool channelOpen_ = false;
    std::string replyQueue_;
    std::string error_;
};

#endif
