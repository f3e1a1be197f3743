// Broker connections of the service: one consuming connection owned by the main thread,
// and one publishing connection per reply. Neither class logs; failures land in _error.
#ifndef TOLVANE_CLIENT_MQSERVICE_H
#define TOLVANE_CLIENT_MQSERVICE_H

#include <stdint.h>
#include <sys/time.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "amqp/broker.h"
#include "amqp/rabbit.h"
#include "amqp/wire.h"

// Results of CConsumer::ConsumeMessage.
enum { kConsumeDelivered = 0, kConsumeNothing = 1, kConsumeBroken = 2 };

// Why the last step of a broker connection failed, beyond the service's own failure text.
struct BrokerFailure {
    std::string hosts;     // the hosts that failed at the last connection step, each with why
    std::string where;     // "host:port" of the connection, or of the last host tried
    std::string why;       // what went wrong, with the host and the library's or broker's text
    bool refused = false;  // the broker said no (a login, a channel), not the connection failed
};

class CConsumer {
public:
    CConsumer(const char* ip, const char* queue, const char* userName, const char* pwd,
              const char* vhost, int port, int frame_max);
    ~CConsumer();
    CConsumer(const CConsumer&) = delete;
    CConsumer& operator=(const CConsumer&) = delete;

    bool Init();
    // 0: *msg owns a malloc'ed amqp_envelope_t (release with amqp_destroy_envelope + free);
    // 1: nothing within a second; 2: set-up failed or the connection broke (see Error()).
    int ConsumeMessage(char** msg);
    bool CheckReply();
    bool CheckReply(amqp_rpc_reply_t& reply);
    const std::string& Error() const { return _error; }

    // Bounded intake: at most `prefetch` unacknowledged deliveries (basic.qos), consumed with
    // acknowledgements; 0, the default, consumes no_ack. MUST precede the first consume.
    void SetPrefetch(int prefetch) { _prefetch = prefetch; }
    int Prefetch() const { return _prefetch; }
    // A new window on a consuming connection: basic.cancel, basic.qos `prefetch`, basic.consume.
    // A quorum queue fixes a consumer's window when it subscribes (and refuses a channel-wide
    // one), so a new window needs a new consumer. Deliveries sent before the cancel still come
    // out of ConsumeMessage, their tags valid on the channel.
    bool Reconsume(int prefetch);
    // As ConsumeMessage(msg), waiting at most `wait` (zero: only what has already arrived).
    int ConsumeMessage(char** msg, struct timeval wait);
    // The socket to wait on for deliveries, or -1 while there is no connection.
    int SocketFd() const;
    // True when the library already holds data that a consume call would hand out.
    bool HasBuffered() const;
    // With several hosts in `server`: where to start, and why the hosts tried last failed.
    void SetFirstHost(unsigned first) { _firstHost = first; }
    const std::string& HostFailures() const { return _failure.hosts; }
    // The AMQP heartbeat asked for at login, in seconds (0: none). MUST precede the first consume.
    void SetHeartbeat(int seconds) { _heartbeat = seconds; }
    // TLS to the broker (default: plain TCP). MUST precede the first consume.
    void SetTls(const BrokerTls& tls) { _tls = tls; }
    // Asked while the connection opens, as AmqpLogin::keep_going; false calls the open off.
    void SetKeepGoing(std::function<bool()> keepGoing) { _keepGoing = std::move(keepGoing); }
    // Why the last failure happened, and the host it happened on.
    const std::string& Detail() const { return _failure.why; }
    const std::string& Where() const { return _failure.where; }
    // basic.ack for one delivery of this connection; false when it could not be sent.
    bool Ack(uint64_t deliveryTag);
    // basic.ack with multiple=true: every delivery of this connection up to `deliveryTag`
    // that is not settled yet.
    bool AckUpTo(uint64_t deliveryTag);
    // basic.reject with requeue: the broker delivers it again, here or to another consumer.
    bool Requeue(uint64_t deliveryTag);
    // basic.cancel: the broker sends nothing more. Deliveries it sent before confirming the
    // cancel are kept by the library and still come out of ConsumeMessage.
    bool Cancel();

private:
    std::string _queue;
    std::string _server;
    std::string _userName;
    std::string _pwd;
    std::string _vhost;
    int _port;
    int _frame_max;
    amqp_connection_state_t _conn;
    std::string _error;
    bool _bConnected;
    bool _bChannelOpen;
    bool _bReady;
    int _prefetch;
    int _heartbeat;
    std::string _tag;  // the consumer tag the broker gave
    unsigned _firstHost;
    BrokerFailure _failure;
    BrokerTls _tls;
    std::function<bool()> _keepGoing;
};

class CPublisher {
public:
    CPublisher(const char* ip, const char* userName, const char* pwd, const char* vhost, int port,
               int frame_max);
    ~CPublisher();
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    // Confirm mode (confirm.select) instead of transaction mode for the channel, a reply then
    // counting as sent when the broker's basic.ack for it came. MUST precede the first Init.
    void SetConfirm(bool confirm) { _bConfirm = confirm; }
    bool Init();
    // basic.publish + tx.commit (or, in confirm mode, the wait for the broker's basic.ack);
    // true only when the broker confirmed the commit (acknowledged the publish).
    bool PublishMessage(const char* exchange, const char* key, char* msg, unsigned long size);
    // The same, with `extras` among the properties.
    bool PublishMessage(const char* exchange, const char* key, char* msg, unsigned long size,
                        const ReplyExtras& extras);
    const std::string& Error() const { return _error; }

    // Whether the last PublishMessage got as far as sending tx.commit (in confirm mode: the
    // publish): after that, the reply may have been committed even though the call failed.
    bool CommitSent() const { return _bCommitSent; }
    // With several hosts in `server`: where to start, and why the hosts tried last failed.
    void SetFirstHost(unsigned first) { _firstHost = first; }
    const std::string& HostFailures() const { return _failure.hosts; }
    // TLS to the broker (default: plain TCP). MUST precede the first publish.
    void SetTls(const BrokerTls& tls) { _tls = tls; }
    // Why the last PublishMessage failed, with the host; and whether the broker refused it (a
    // login, a channel, a missing exchange: it would refuse again) rather than the connection
    // failing under it (the reply may succeed on a new one).
    const std::string& Detail() const { return _failure.why; }
    bool Refused() const { return _failure.refused; }
    // An idle publishing connection receives nothing; anything readable on it (a close from
    // the broker, the end of the stream) means it is gone.
    bool Alive() const;

    // Pipelined (confirm mode): the publish alone, not waiting for its confirm; *seq gets its
    // number on the channel (from 1 since confirm.select; a reopened channel counts anew).
    // False when no connection could be opened or the send failed (see Detail, Refused).
    bool Send(const char* exchange, const char* key, const char* msg, unsigned long size,
              const ReplyExtras& extras, uint64_t* seq);
    // A basic.ack or basic.nack of the broker: publish `tag`, or with `multiple` all up to it.
    struct Answer {
        uint64_t tag;
        bool multiple;
        bool nacked;
    };
    enum class Read { kOk, kChannelClosed, kBroken };
    // The answers that arrive within `wait` and right after it. kChannelClosed: the broker
    // closed the channel (a publish to a missing exchange; Detail says why), and the next Send
    // opens it anew; kBroken: the connection is gone. Either way *answers holds what came first.
    Read ReadAnswers(struct timeval wait, std::vector<Answer>* answers);
    // The socket to wait on for answers, or -1 while there is none; whether the library holds
    // data already read.
    int SocketFd() const;
    bool HasBuffered() const;
    // connection.blocked / unblocked seen by the last ReadAnswers, if any.
    enum class Flow { kNone, kBlocked, kUnblocked };
    Flow LastFlow() const { return _flow; }

private:
    // The broker's answer to the publish just sent, as an RPC reply: tx.commit-ok or the
    // basic.ack of confirm mode (normal), or the failure.
    amqp_rpc_reply_t Commit();

    bool _bReady;
    amqp_connection_state_t _conn;
    std::string _server;
    std::string _userName;
    std::string _pwd;
    std::string _vhost;
    int _port;
    int _frame_max;
    std::string _error;
    bool _bConnected;
    bool _bChannelOpen;
    bool _bCommitSent;
    unsigned _firstHost;
    BrokerFailure _failure;
    BrokerTls _tls;
    bool _bConfirm;
    uint64_t _published;  // publishes on the channel since confirm.select
    Flow _flow = Flow::kNone;
};

#endif
