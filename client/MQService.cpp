// Broker connections of the service on librabbitmq: CConsumer (channel 1, no_ack, a one-second
// wait per call) and CPublisher (channel 1 in transaction mode, publish + commit per message).
// Set-up is lazy and resumable; the flags record how far it came.
//
// Every blocking step has a time limit: the TCP connect, the login handshake and each RPC
// (channel.open, tx.select, basic.consume, tx.commit, the closes) give up after
// kSetupTimeoutSec. The consumer's delivery wait passes its own one-second limit.
#include "client/MQService.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/time.h>

#include "amqp/connection.h"

namespace {

const amqp_channel_t kChannel = 1;
const int kSetupTimeoutSec = 10;
const int kDefaultHeartbeat = 60;
const int kPublisherHeartbeat = 0;
const struct timeval kDeliveryWait = {1, 0};

// basic.reject: the delivery goes back to the queue, to be delivered again.
const amqp_boolean_t kRequeue = 1;
// basic.consume: the broker names the consumer; deliveries count as acknowledged when sent.
const amqp_boolean_t kNoLocal = 0;
const amqp_boolean_t kNoAck = 1;
const amqp_boolean_t kExclusive = 0;
// basic.publish: an unroutable reply is dropped by the broker, not returned.
const amqp_boolean_t kMandatory = 0;
const amqp_boolean_t kImmediate = 0;

const char kChannelClosedDuringSetup[] = "failed to open the channel,the channel closed....";
const char kConnectionClosedDuringSetup[] = "failed to open the channel,the connection closed...";

AmqpLogin LoginOf(const std::string& server, int port, const std::string& vhost, int frame_max,
                  int heartbeat, const std::string& user, const std::string& pwd,
                  unsigned firstHost) {
    AmqpLogin login;
    login.server = server;
    login.port = port;
    login.vhost = vhost;
    login.user = user;
    login.password = pwd;
    login.frame_max = frame_max;
    login.heartbeat = heartbeat;
    login.timeout_s = kSetupTimeoutSec;
    login.first_host = firstHost;
    return login;
}

using Failure = BrokerFailure;

void Note(Failure& f, const amqp_rpc_reply_t& reply) {
    f.why = f.where + ": " + AmqpReplyText(reply);
    f.refused = reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION;
}

// Connection step shared by both classes, done only while `connected` is false, which it sets
// on success. A handle left by an earlier failed attempt is released first.
bool ConnectionStep(amqp_connection_state_t& conn, const AmqpLogin& login, std::string& error,
                    bool& connected, Failure& f) {
    if (connected) return true;
    if (conn) amqp_destroy_connection(conn);
    conn = nullptr;
    const AmqpOpenStep step = AmqpOpen(&conn, login, &f.hosts, &f.where);
    f.why = f.hosts;
    f.refused = step == AmqpOpenStep::kLogin;
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
    }
    return false;
}

// Records the text of a server close already answered; a close-ok that could not be sent on
// the channel leaves the library's text instead.
void RecordClose(AmqpClosed closed, int sendStatus, std::string& error, const char* channelText,
                 const char* connectionText) {
    if (closed == AmqpClosed::kConnection) error = connectionText;
    if (closed == AmqpClosed::kChannel) {
        error = sendStatus < 0 ? amqp_error_string2(sendStatus) : channelText;
    }
}

// Evaluates the reply of a channel set-up RPC (channel.open, tx.select). Returns true for a
// normal reply; otherwise records why and reports through `closed` what the broker closed.
bool SetupReplyOk(amqp_connection_state_t conn, std::string& error, AmqpClosed& closed,
                  Failure& f) {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(conn);
    closed = AmqpClosed::kNothing;
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) Note(f, reply);
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return true;
    case AMQP_RESPONSE_SERVER_EXCEPTION: {
        int status = 0;
        closed = AmqpAnswerClose(conn, reply, kChannel, &status);
        RecordClose(closed, status, error, kChannelClosedDuringSetup, kConnectionClosedDuringSetup);
        return false;
    }
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        error = "failed to open the channel,the library exception...";
        return false;
    default:
        error = "failed to open the channel,missing the rpc reply...";
        return false;
    }
}

// Channel step shared by both classes: opens channel 1. A connection closed by the broker
// clears `connected`, so the next Init reconnects.
bool OpenChannel(amqp_connection_state_t conn, std::string& error, bool& connected, Failure& f) {
    amqp_channel_open(conn, kChannel);
    AmqpClosed closed;
    if (SetupReplyOk(conn, error, closed, f)) return true;
    if (closed == AmqpClosed::kConnection) connected = false;
    return false;
}

// Connection and channel steps of both classes' Init, each done only while its flag is false.
// *opened tells whether this call opened the channel (a new channel needs its mode set).
bool ChannelStep(amqp_connection_state_t& conn, const AmqpLogin& login, std::string& error,
                 bool& connected, bool& channelOpen, bool* opened, Failure& f) {
    *opened = false;
    if (!ConnectionStep(conn, login, error, connected, f)) return false;
    if (channelOpen) return true;
    if (!OpenChannel(conn, error, connected, f)) return false;
    channelOpen = *opened = true;
    return true;
}

}  // namespace

CConsumer::CConsumer(const char* ip, const char* queue, const char* userName, const char* pwd,
                     const char* vhost, int port, int frame_max)
    : _queue(queue), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost), _port(port),
      _frame_max(frame_max), _conn(nullptr), _bConnected(false), _bChannelOpen(false),
      _bReady(false), _prefetch(0), _heartbeat(kDefaultHeartbeat), _firstHost(0) {}

CConsumer::~CConsumer() {
    AmqpClose(_conn, kChannel, _bChannelOpen);
}

bool CConsumer::Init() {
    if (_bReady) {
        return true;
    }
    AmqpLogin login = LoginOf(_server, _port, _vhost, _frame_max, _heartbeat, _userName, _pwd,
                              _firstHost);
    bool opened;
    if (!ChannelStep(_conn, login, _error, _bConnected, _bChannelOpen, &opened, _failure)) {
        return false;
    }
    if (_prefetch > 0) {
        amqp_basic_qos(_conn, kChannel, 0, static_cast<uint16_t>(_prefetch), 0);
        if (!CheckReply()) return false;
    }
    amqp_basic_consume_ok_t* ok = amqp_basic_consume(
        _conn, kChannel, amqp_cstring_bytes(_queue.c_str()), amqp_empty_bytes, kNoLocal,
        _prefetch > 0 ? 0 : kNoAck, kExclusive, amqp_empty_table);
    _bReady = CheckReply();
    if (_bReady && ok) _tag.assign(static_cast<char*>(ok->consumer_tag.bytes), ok->consumer_tag.len);
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

bool CConsumer::Requeue(uint64_t deliveryTag) {
    return _bReady && amqp_basic_reject(_conn, kChannel, deliveryTag, kRequeue) == AMQP_STATUS_OK;
}

bool CConsumer::Cancel() {
    if (!_bReady) return false;
    amqp_basic_cancel(_conn, kChannel, amqp_cstring_bytes(_tag.c_str()));
    return CheckReply();
}

bool CConsumer::CheckReply() {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(_conn);
    return CheckReply(reply);
}

bool CConsumer::CheckReply(amqp_rpc_reply_t& reply) {
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) Note(_failure, reply);
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return true;
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        _error = amqp_error_string2(reply.library_error);
        return false;
    case AMQP_RESPONSE_SERVER_EXCEPTION: {
        int status = 0;
        AmqpClosed closed = AmqpAnswerClose(_conn, reply, kChannel, &status);
        RecordClose(closed, status, _error, "the channel closed....", "the connection closed...");
        if (closed == AmqpClosed::kChannel) _bChannelOpen = false;
        if (closed == AmqpClosed::kConnection) _bConnected = false;
        return false;
    }
    default:
        return false;
    }
}

CPublisher::CPublisher(const char* ip, const char* userName, const char* pwd, const char* vhost,
                       int port, int frame_max)
    : _bReady(false), _conn(nullptr), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost),
      _port(port), _frame_max(frame_max), _bConnected(false), _bChannelOpen(false),
      _bCommitSent(false), _firstHost(0) {}

CPublisher::~CPublisher() {
    AmqpClose(_conn, kChannel, _bChannelOpen);
}

bool CPublisher::Init() {
    if (_bReady) {
        return true;
    }
    AmqpLogin login = LoginOf(_server, _port, _vhost, _frame_max, kPublisherHeartbeat, _userName, _pwd,
                              _firstHost);
    bool opened;
    if (!ChannelStep(_conn, login, _error, _bConnected, _bChannelOpen, &opened, _failure)) {
        return false;
    }
    if (opened) {
        amqp_tx_select(_conn, kChannel);
        AmqpClosed closed;
        if (!SetupReplyOk(_conn, _error, closed, _failure)) {
            if (closed != AmqpClosed::kNothing) _bChannelOpen = false;
            if (closed == AmqpClosed::kConnection) _bConnected = false;
            return false;
        }
    }
    _bReady = true;
    return true;
}

bool CPublisher::PublishMessage(const char* exchange, const char* key, char* msg,
                                unsigned long size) {
    return PublishMessage(exchange, key, msg, size, std::string());
}

bool CPublisher::PublishMessage(const char* exchange, const char* key, char* msg,
                                unsigned long size, const std::string& correlationId) {
    _bCommitSent = false;
    // Only this call's failure counts; the hosts are named again only if it opens a connection.
    _failure.hosts.clear();
    _failure.why.clear();
    _failure.refused = false;
    if (!Init()) {
        return false;
    }
    amqp_basic_properties_t props = {};
    props._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    props.content_type = amqp_cstring_bytes("text/plain");
    props.delivery_mode = 2;
    if (!correlationId.empty()) {
        props._flags |= AMQP_BASIC_CORRELATION_ID_FLAG;
        props.correlation_id = amqp_cstring_bytes(correlationId.c_str());
    }
    amqp_bytes_t body;
    body.len = size;
    body.bytes = msg;
    const int status = amqp_basic_publish(_conn, kChannel, amqp_cstring_bytes(exchange),
                                          amqp_cstring_bytes(key), kMandatory, kImmediate, &props,
                                          body);
    if (status != AMQP_STATUS_OK) {
        _failure.why = _failure.where + ": the publish failed: " + amqp_error_string2(status);
        return false;
    }
    _bCommitSent = true;
    amqp_tx_commit(_conn, kChannel);
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(_conn);
    // A connection close is answered, so the broker drops the socket at once; unanswered, it
    // would ignore the destructor's closes and each would wait out its time limit.
    if (reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION &&
        reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        AmqpAnswerClose(_conn, reply, kChannel);
    }
    const bool committed = reply.reply_type == AMQP_RESPONSE_NORMAL;
    if (!committed) Note(_failure, reply);
    // The library keeps every frame it received (each tx.commit-ok) in the channel's pool
    // until released: a long-lived publisher would grow by every reply.
    amqp_maybe_release_buffers(_conn);
    return committed;
}

bool CPublisher::Alive() const {
    amqp_socket_t* socket = _bReady ? amqp_get_socket(_conn) : nullptr;
    if (!socket) return false;
    struct pollfd pfd = {amqp_socket_get_sockfd(socket), POLLIN, 0};
    return poll(&pfd, 1, 0) == 0 && !amqp_data_in_buffer(_conn) && !amqp_frames_enqueued(_conn);
}
