// Broker connections of the service on librabbitmq: CConsumer (channel 1, no_ack, a one-second
// wait per call) and CPublisher (channel 1 in transaction mode, publish + commit per message;
// or in confirm mode, publish + the wait for the broker's basic.ack).
// Set-up is lazy and resumable; the flags record how far it came.
//
// Every blocking step has a time limit: the TCP connect, the login handshake and each RPC
// (channel.open, tx.select, basic.consume, tx.commit, the closes) and the wait for a confirm
// give up after kSetupTimeoutSec. The consumer's delivery wait passes its own one-second limit.
#include "client/MQService.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/time.h>

#include "amqp/connection.h"
#include "amqp/wire.h"

namespace {

const amqp_channel_t kChannel = 1;
const int kSetupTimeoutSec = 10;
const int kDefaultHeartbeat = 60;
const int kPublisherHeartbeat = 0;
const struct timeval kDeliveryWait = {1, 0};
const struct timeval kConfirmWait = {kSetupTimeoutSec, 0};

// basic.reject: the delivery goes back to the queue, to be delivered again.
const amqp_boolean_t kRequeue = 1;
// basic.consume: the broker names the consumer; deliveries count as acknowledged when sent.
const amqp_boolean_t kNoLocal = 0;
const amqp_boolean_t kNoAck = 1;
const amqp_boolean_t kExclusive = 0;
// basic.publish: an unroutable reply is dropped by the broker, not returned.
const amqp_boolean_t kMandatory = 0;
const amqp_boolean_t kImmediate = 0;

// How a failed RPC reads in _error: the broker closed the channel or the connection, the
// library failed (null: the library's own text), or no reply came (null: _error unchanged).
struct RpcTexts {
    const char* channelClosed;
    const char* connectionClosed;
    const char* library;
    const char* none;
};

// The set-up steps of both classes (channel.open, tx.select) and the consumer's later RPCs.
const RpcTexts kSetupTexts = {"failed to open the channel,the channel closed....",
                              "failed to open the channel,the connection closed...",
                              "failed to open the channel,the library exception...",
                              "failed to open the channel,missing the rpc reply..."};
const RpcTexts kConsumerTexts = {"the channel closed....", "the connection closed...", nullptr,
                                 nullptr};

using Failure = BrokerFailure;

void Note(Failure& f, const std::string& text, bool refused) {
    f.why = f.where + ": " + text;
    f.refused = refused;
}

// The connection members that CConsumer and CPublisher both hold, by reference: their one
// connection core, for the connection and channel steps of Init and for reply checks. The
// flags record how far set-up came; a server close clears the flag of what it closed, so
// that the next Init redoes that step.
struct Core {
    amqp_connection_state_t& conn;
    std::string& error;
    bool& connected;
    bool& channelOpen;
    Failure& failure;

    // The connection step (while `connected` is false), then the channel step (while
    // `channelOpen` is false). *opened tells whether this call opened the channel, which
    // then needs its mode set.
    bool Open(const AmqpLogin& login, bool* opened);
    // Checks the reply of an RPC on channel 1: a failure is recorded in `error` as `texts`
    // word it and in `failure`, and a server close is answered. *closed, when given, gets
    // what the broker closed.
    bool Check(const amqp_rpc_reply_t& reply, const RpcTexts& texts, AmqpClosed* closed = nullptr);
    bool Check(const RpcTexts& texts, AmqpClosed* closed = nullptr) {
        return Check(amqp_get_rpc_reply(conn), texts, closed);
    }

private:
    bool Connect(const AmqpLogin& login);
    void RecordClose(const AmqpReplyCheck& check, const RpcTexts& texts);
};

// A handle left by an earlier failed attempt is released first.
bool Core::Connect(const AmqpLogin& login) {
    if (connected) return true;
    if (conn) amqp_destroy_connection(conn);
    conn = nullptr;
    const AmqpOpenStep step = AmqpOpen(&conn, login, &failure.hosts, &failure.where);
    failure.why = failure.hosts;
    failure.refused = step == AmqpOpenStep::kLogin;
    switch (step) {
    case AmqpOpenStep::kOpen:
        connected = true;
        return true;
    case AmqpOpenStep::kNoHandle:
        error = "failed to alloc the space for amqp_connection";
        return false;
    case AmqpOpenStep::kNoSocket:
        error = "failed to alloc the space for amqp_tcp_socket";
        return false;
    case AmqpOpenStep::kConnect:
        error = "failed to connect the server";
        return false;
    case AmqpOpenStep::kHandshake:
    case AmqpOpenStep::kLogin:
        error = "failed to login to the broker";
        return false;
    case AmqpOpenStep::kStopped:
        error = "the connection to the server was called off";
        return false;
    }
    return false;
}

bool Core::Open(const AmqpLogin& login, bool* opened) {
    *opened = false;
    if (!Connect(login)) return false;
    if (channelOpen) return true;
    amqp_channel_open(conn, kChannel);
    if (!Check(kSetupTexts)) return false;
    channelOpen = *opened = true;
    return true;
}

bool Core::Check(const amqp_rpc_reply_t& reply, const RpcTexts& texts, AmqpClosed* closed) {
    const AmqpReplyCheck check = AmqpCheckReply(conn, reply, kChannel);
    if (closed) *closed = check.closed;
    if (check.Ok()) return true;
    Note(failure, check.text, check.type == AMQP_RESPONSE_SERVER_EXCEPTION);
    switch (check.type) {
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        error = texts.library ? texts.library : amqp_error_string2(reply.library_error);
        break;
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        RecordClose(check, texts);
        break;
    default:
        if (texts.none) error = texts.none;
        break;
    }
    return false;
}

// A close-ok that could not be sent on the channel leaves the library's text instead.
void Core::RecordClose(const AmqpReplyCheck& check, const RpcTexts& texts) {
    if (check.closed == AmqpClosed::kConnection) {
        error = texts.connectionClosed;
        connected = false;
    }
    if (check.closed == AmqpClosed::kChannel) {
        error = check.sendStatus < 0 ? amqp_error_string2(check.sendStatus) : texts.channelClosed;
        channelOpen = false;
    }
}

}  // namespace

CConsumer::CConsumer(const char* ip, const char* queue, const char* userName, const char* pwd,
                     const char* vhost, int port, int frame_max)
    : _queue(queue), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost), _port(port),
      _frame_max(frame_max), _conn(nullptr), _bConnected(false), _bChannelOpen(false),
      _bReady(false), _prefetch(0), _heartbeat(kDefaultHeartbeat), _firstHost(0) {}

CConsumer::~CConsumer() {
    if (_bConnected) {
        AmqpClose(_conn, kChannel, _bChannelOpen);
    } else if (_conn) {
        amqp_destroy_connection(_conn);
    }
}

bool CConsumer::Init() {
    if (_bReady) {
        return true;
    }
    const BrokerSettings broker{_server, _userName, _pwd, _vhost, _port, _frame_max, _tls};
    Core core{_conn, _error, _bConnected, _bChannelOpen, _failure};
    bool opened;
    AmqpLogin login = BrokerLogin(broker, kSetupTimeoutSec, _heartbeat, _firstHost);
    login.keep_going = _keepGoing;
    if (!core.Open(login, &opened)) return false;
    if (_prefetch > 0) {
        amqp_basic_qos(_conn, kChannel, 0, static_cast<uint16_t>(_prefetch), 0);
        if (!CheckReply()) return false;
    }
    amqp_basic_consume_ok_t* ok =
        amqp_basic_consume(_conn, kChannel, amqp_cstring_bytes(_queue.c_str()), amqp_empty_bytes,
                           kNoLocal, _prefetch > 0 ? 0 : kNoAck, kExclusive, amqp_empty_table);
    _bReady = CheckReply();
    if (_bReady && ok) _tag = AmqpText(ok->consumer_tag);
    return _bReady;
}

int CConsumer::ConsumeMessage(char** msg) {
    return ConsumeMessage(msg, kDeliveryWait);
}

int CConsumer::ConsumeMessage(char** msg, struct timeval wait) {
    if (!Init()) {
        return kConsumeBroken;
    }
    amqp_envelope_t* envelope = static_cast<amqp_envelope_t*>(malloc(sizeof(amqp_envelope_t)));
    if (!envelope) {
        _error = "failed to alloc the space for amqp_envelope";
        return kConsumeBroken;
    }
    *msg = reinterpret_cast<char*>(envelope);
    // Delivered envelopes own their memory, so the frames decoded so far can go.
    amqp_maybe_release_buffers(_conn);
    amqp_rpc_reply_t reply = amqp_consume_message(_conn, envelope, &wait, 0);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) {
        return kConsumeDelivered;
    }
    int result = kConsumeNothing;
    if (reply.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION ||
        reply.library_error != AMQP_STATUS_TIMEOUT) {
        amqp_rpc_reply_t failure = AmqpServerCloseBehind(_conn, reply);
        CheckReply(failure);
        // The library's read failed part-way (a frame over frame_max, a broken socket): its
        // state of the connection is not to be read again, not even for a close, over which
        // librabbitmq would write past its buffer. The connection is dropped, unclosed.
        if (failure.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION) {
            _bConnected = _bChannelOpen = _bReady = false;
        }
        result = kConsumeBroken;
    }
    free(envelope);
    *msg = nullptr;
    return result;
}

int CConsumer::SocketFd() const {
    amqp_socket_t* socket = _conn && _bConnected ? amqp_get_socket(_conn) : nullptr;
    return socket ? amqp_socket_get_sockfd(socket) : -1;
}

bool CConsumer::HasBuffered() const {
    return _conn && (amqp_data_in_buffer(_conn) || amqp_frames_enqueued(_conn));
}

bool CConsumer::Ack(uint64_t deliveryTag) {
    return _bReady && amqp_basic_ack(_conn, kChannel, deliveryTag, 0) == AMQP_STATUS_OK;
}

bool CConsumer::AckUpTo(uint64_t deliveryTag) {
    return _bReady && amqp_basic_ack(_conn, kChannel, deliveryTag, 1) == AMQP_STATUS_OK;
}

bool CConsumer::Requeue(uint64_t deliveryTag) {
    return _bReady && amqp_basic_reject(_conn, kChannel, deliveryTag, kRequeue) == AMQP_STATUS_OK;
}

bool CConsumer::Cancel() {
    if (!_bReady) return false;
    amqp_basic_cancel(_conn, kChannel, amqp_cstring_bytes(_tag.c_str()));
    return CheckReply();
}

bool CConsumer::Reconsume(int prefetch) {
    if (!Cancel()) return false;
    _prefetch = prefetch;
    _bReady = false;
    return Init();
}

bool CConsumer::CheckReply() {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(_conn);
    return CheckReply(reply);
}

bool CConsumer::CheckReply(amqp_rpc_reply_t& reply) {
    Core core{_conn, _error, _bConnected, _bChannelOpen, _failure};
    return core.Check(reply, kConsumerTexts);
}

CPublisher::CPublisher(const char* ip, const char* userName, const char* pwd, const char* vhost,
                       int port, int frame_max)
    : _bReady(false), _conn(nullptr), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost),
      _port(port), _frame_max(frame_max), _bConnected(false), _bChannelOpen(false),
      _bCommitSent(false), _firstHost(0), _bConfirm(false), _published(0) {}

CPublisher::~CPublisher() {
    AmqpClose(_conn, kChannel, _bChannelOpen);
}

bool CPublisher::Init() {
    if (_bReady) {
        return true;
    }
    const BrokerSettings broker{_server, _userName, _pwd, _vhost, _port, _frame_max, _tls};
    Core core{_conn, _error, _bConnected, _bChannelOpen, _failure};
    bool opened;
    AmqpLogin login = BrokerLogin(broker, kSetupTimeoutSec, kPublisherHeartbeat, _firstHost);
    // A publishing connection is the one a resource alarm blocks; ReadAnswers reports it.
    login.blocked_notices = true;
    if (!core.Open(login, &opened)) return false;
    if (opened) {
        // Publishes are numbered on the channel from confirm.select on.
        _published = 0;
        if (_bConfirm) {
            amqp_confirm_select(_conn, kChannel);
        } else {
            amqp_tx_select(_conn, kChannel);
        }
        AmqpClosed closed;
        if (!core.Check(kSetupTexts, &closed)) {
            // The connection took the channel with it.
            if (closed == AmqpClosed::kConnection) _bChannelOpen = false;
            return false;
        }
    }
    _bReady = true;
    return true;
}

bool CPublisher::PublishMessage(const char* exchange, const char* key, char* msg,
                                unsigned long size) {
    return PublishMessage(exchange, key, msg, size, ReplyExtras());
}

bool CPublisher::PublishMessage(const char* exchange, const char* key, char* msg,
                                unsigned long size, const ReplyExtras& extras) {
    _bCommitSent = false;
    // Only this call's failure counts; the hosts are named again only if it opens a connection.
    _failure.hosts.clear();
    _failure.why.clear();
    _failure.refused = false;
    if (!Init()) {
        return false;
    }
    const ReplyProperties props(extras);
    amqp_bytes_t body;
    body.len = size;
    body.bytes = msg;
    const int status =
        amqp_basic_publish(_conn, kChannel, amqp_cstring_bytes(exchange), amqp_cstring_bytes(key),
                           kMandatory, kImmediate, props.Get(), body);
    if (status != AMQP_STATUS_OK) {
        _failure.why = _failure.where + ": the publish failed: " + amqp_error_string2(status);
        return false;
    }
    _bCommitSent = true;
    amqp_rpc_reply_t reply = Commit();
    // A connection close is answered, so the broker drops the socket at once; unanswered, it
    // would ignore the destructor's closes and each would wait out its time limit.
    if (reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION &&
        reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        AmqpAnswerClose(_conn, reply, kChannel);
    }
    const bool committed = reply.reply_type == AMQP_RESPONSE_NORMAL;
    if (reply.reply_type == AMQP_RESPONSE_NONE) {
        Note(_failure, "the broker did not take the reply (basic.nack)", false);
    } else if (!committed) {
        Note(_failure, AmqpReplyText(reply), reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION);
    }
    // The library keeps every frame it received (each tx.commit-ok) in the channel's pool
    // until released: a long-lived publisher would grow by every reply.
    amqp_maybe_release_buffers(_conn);
    return committed;
}

amqp_rpc_reply_t CPublisher::Commit() {
    if (!_bConfirm) {
        amqp_tx_commit(_conn, kChannel);
        return amqp_get_rpc_reply(_conn);
    }
    amqp_rpc_reply_t reply{AMQP_RESPONSE_NORMAL, {}, 0};
    const AmqpConfirm answer = AmqpWaitConfirm(_conn, kChannel, ++_published, kConfirmWait, &reply);
    // basic.nack: the broker failed to take the reply, not refused it; told apart as "none".
    if (answer == AmqpConfirm::kNacked) reply.reply_type = AMQP_RESPONSE_NONE;
    return reply;
}

bool CPublisher::Alive() const {
    amqp_socket_t* socket = _bReady ? amqp_get_socket(_conn) : nullptr;
    if (!socket) return false;
    struct pollfd pfd = {amqp_socket_get_sockfd(socket), POLLIN, 0};
    return poll(&pfd, 1, 0) == 0 && !amqp_data_in_buffer(_conn) && !amqp_frames_enqueued(_conn);
}

bool CPublisher::Send(const char* exchange, const char* key, const char* msg, unsigned long size,
                      const ReplyExtras& extras, uint64_t* seq) {
    _failure.hosts.clear();
    _failure.why.clear();
    _failure.refused = false;
    if (!Init()) return false;
    const ReplyProperties props(extras);
    amqp_bytes_t body;
    body.len = size;
    body.bytes = const_cast<char*>(msg);
    const int status =
        amqp_basic_publish(_conn, kChannel, amqp_cstring_bytes(exchange), amqp_cstring_bytes(key),
                           kMandatory, kImmediate, props.Get(), body);
    if (status != AMQP_STATUS_OK) {
        _failure.why = _failure.where + ": the publish failed: " + amqp_error_string2(status);
        _bConnected = _bChannelOpen = _bReady = false;
        return false;
    }
    *seq = ++_published;
    return true;
}

CPublisher::Read CPublisher::ReadAnswers(struct timeval wait, std::vector<Answer>* answers) {
    _flow = Flow::kNone;
    if (!_bConnected) return Read::kBroken;
    // Without a channel the connection is still read: connection.unblocked comes on channel 0.
    Read result = _bReady ? Read::kOk : Read::kChannelClosed;
    for (;;) {
        amqp_frame_t frame;
        const int status = amqp_simple_wait_frame_noblock(_conn, &frame, &wait);
        wait = timeval{0, 0};  // the first wait only; then what has arrived already
        if (status == AMQP_STATUS_TIMEOUT) break;
        if (status != AMQP_STATUS_OK) {
            Note(_failure, std::string("the connection broke: ") + amqp_error_string2(status),
                 false);
            _bConnected = _bChannelOpen = _bReady = false;
            return Read::kBroken;
        }
        if (frame.frame_type != AMQP_FRAME_METHOD || frame.channel > kChannel) continue;
        const amqp_method_t& m = frame.payload.method;
        if (m.id == AMQP_BASIC_ACK_METHOD) {
            const auto* ack = static_cast<const amqp_basic_ack_t*>(m.decoded);
            answers->push_back({ack->delivery_tag, ack->multiple != 0, false});
        } else if (m.id == AMQP_BASIC_NACK_METHOD) {
            const auto* nack = static_cast<const amqp_basic_nack_t*>(m.decoded);
            answers->push_back({nack->delivery_tag, nack->multiple != 0, true});
        } else if (m.id == AMQP_CONNECTION_BLOCKED_METHOD) {
            _flow = Flow::kBlocked;
        } else if (m.id == AMQP_CONNECTION_UNBLOCKED_METHOD) {
            _flow = Flow::kUnblocked;
        } else if (m.id == AMQP_CHANNEL_CLOSE_METHOD || m.id == AMQP_CONNECTION_CLOSE_METHOD) {
            const amqp_rpc_reply_t reply{AMQP_RESPONSE_SERVER_EXCEPTION, m, 0};
            Note(_failure, AmqpReplyText(reply), true);
            const bool channel = m.id == AMQP_CHANNEL_CLOSE_METHOD;
            AmqpAnswerClose(_conn, reply, kChannel);
            _bReady = _bChannelOpen = false;
            if (!channel) _bConnected = false;
            result = channel ? Read::kChannelClosed : Read::kBroken;
            break;
        }
    }
    amqp_maybe_release_buffers(_conn);
    return result;
}

int CPublisher::SocketFd() const {
    amqp_socket_t* socket = _conn && _bConnected ? amqp_get_socket(_conn) : nullptr;
    return socket ? amqp_socket_get_sockfd(socket) : -1;
}

bool CPublisher::HasBuffered() const {
    return _conn && (amqp_data_in_buffer(_conn) || amqp_frames_enqueued(_conn));
}
