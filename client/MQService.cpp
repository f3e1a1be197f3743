// Broker connections of the service on librabbitmq: CConsumer (channel 1, no_ack, a one-second
// wait per call) and CPublisher (channel 1 in transaction mode, publish + commit per message).
// Set-up is lazy and resumable; the flags record how far it came.
//
// Every blocking step has a time limit: the TCP connect, the login handshake and each RPC
// (channel.open, tx.select, basic.consume, tx.commit, the closes) give up after
// kSetupTimeoutSec, after which the library has closed the socket. The consumer's delivery
// wait passes its own one-second limit and is not affected. librabbitmq sends with
// MSG_NOSIGNAL, so a broker that vanishes mid-write gives an error status, not SIGPIPE.
#include "MQService.h"

#include <stdlib.h>
#include <sys/time.h>

namespace {

const amqp_channel_t kChannel = 1;
const amqp_channel_t kConnectionChannel = 0;
const int kSetupTimeoutSec = 10;
const int kConsumerHeartbeat = 60;
const int kPublisherHeartbeat = 0;

const char kChannelClosedDuringSetup[] = "failed to open the channel,the channel closed....";
const char kConnectionClosedDuringSetup[] = "failed to open the channel,the connection closed...";

enum class Closed { kNothing, kChannel, kConnection };

struct LoginParams {
    const std::string& server;
    int port;
    const std::string& vhost;
    int frame_max;
    int heartbeat;
    const std::string& userName;
    const std::string& pwd;
};

// Connection step shared by both classes: a fresh handle, TCP connect, SASL PLAIN login.
// A handle left by an earlier failed attempt is released first. On failure `error` says why
// and `conn` may still hold a handle with its socket, which the owner closes and destroys.
bool OpenConnection(amqp_connection_state_t& conn, const LoginParams& p, std::string& error) {
    if (conn) {
        amqp_destroy_connection(conn);
    }
    conn = amqp_new_connection();
    if (!conn) {
        error = "failed to alloc the space for amqp_connection";
        return false;
    }
    amqp_socket_t* socket = amqp_tcp_socket_new(conn);
    if (!socket) {
        // A handle without a socket cannot even be closed (the library asserts), so it goes
        // now and the destructor finds nothing to close.
        amqp_destroy_connection(conn);
        conn = nullptr;
        error = "failed to alloc the space for amqp_tcp_socket";
        return false;
    }
    struct timeval limit = {kSetupTimeoutSec, 0};
    if (amqp_socket_open_noblock(socket, p.server.c_str(), p.port, &limit) != AMQP_STATUS_OK) {
        error = "failed to connect the server";
        return false;
    }
    amqp_set_handshake_timeout(conn, &limit);
    amqp_set_rpc_timeout(conn, &limit);
    // Announced so that the broker tells a consumer when its queue is deleted (basic.cancel);
    // otherwise the consumer would wait on a dead queue for ever without noticing.
    amqp_table_entry_t capability;
    capability.key = amqp_cstring_bytes("consumer_cancel_notify");
    capability.value.kind = AMQP_FIELD_KIND_BOOLEAN;
    capability.value.value.boolean = 1;
    amqp_table_entry_t property;
    property.key = amqp_cstring_bytes("capabilities");
    property.value.kind = AMQP_FIELD_KIND_TABLE;
    property.value.value.table.num_entries = 1;
    property.value.value.table.entries = &capability;
    amqp_table_t properties = {1, &property};
    amqp_rpc_reply_t reply = amqp_login_with_properties(
        conn, p.vhost.c_str(), 0, p.frame_max, p.heartbeat, &properties, AMQP_SASL_METHOD_PLAIN,
        p.userName.c_str(), p.pwd.c_str());
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) {
        error = "failed to login to the broker";
        amqp_connection_close(conn, AMQP_REPLY_SUCCESS);
        return false;
    }
    return true;
}

// The connection step of Init: done only while `connected` is false, which it sets on success.
bool ConnectionStep(amqp_connection_state_t& conn, const LoginParams& p, std::string& error,
                    bool& connected) {
    if (!connected) {
        connected = OpenConnection(conn, p, error);
    }
    return connected;
}

// Answers a server-side close with its close-ok on the channel it concerns and records the
// matching text; a close-ok that cannot be sent on channel 1 leaves the library's text instead.
Closed AnswerServerClose(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply,
                         std::string& error, const char* channelText, const char* connectionText) {
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        error = connectionText;
        amqp_connection_close_ok_t ok;
        amqp_send_method(conn, kConnectionChannel, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
        return Closed::kConnection;
    }
    if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        error = channelText;
        amqp_channel_close_ok_t ok;
        int status = amqp_send_method(conn, kChannel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
        if (status < 0) {
            error = amqp_error_string2(status);
        }
        return Closed::kChannel;
    }
    return Closed::kNothing;
}

// Evaluates the reply of a channel set-up RPC (channel.open, tx.select). Returns true for a
// normal reply; otherwise records why and reports through `closed` what the broker closed.
bool SetupReplyOk(amqp_connection_state_t conn, std::string& error, Closed& closed) {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(conn);
    closed = Closed::kNothing;
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return true;
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        closed = AnswerServerClose(conn, reply, error, kChannelClosedDuringSetup,
                                   kConnectionClosedDuringSetup);
        return false;
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
bool OpenChannel(amqp_connection_state_t conn, std::string& error, bool& connected) {
    amqp_channel_open(conn, kChannel);
    Closed closed;
    if (SetupReplyOk(conn, error, closed)) {
        return true;
    }
    if (closed == Closed::kConnection) {
        connected = false;
    }
    return false;
}

// Destructor work of both classes; makes no library call for a handle never created.
void CloseConnection(amqp_connection_state_t conn, bool channelOpen) {
    if (channelOpen) {
        amqp_channel_close(conn, kChannel, AMQP_REPLY_SUCCESS);
    }
    if (conn) {
        amqp_connection_close(conn, AMQP_REPLY_SUCCESS);
        amqp_destroy_connection(conn);
    }
}

// amqp_consume_message reports a method other than basic.deliver (a server close, say) as
// AMQP_STATUS_UNEXPECTED_STATE and leaves the frame queued. Turns such a close back into the
// server exception it is, so that it is recorded and answered like any other.
amqp_rpc_reply_t ServerCloseBehind(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply) {
    if (reply.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION ||
        reply.library_error != AMQP_STATUS_UNEXPECTED_STATE) {
        return reply;
    }
    struct timeval none = {0, 0};
    amqp_frame_t frame;
    if (amqp_simple_wait_frame_noblock(conn, &frame, &none) != AMQP_STATUS_OK ||
        frame.frame_type != AMQP_FRAME_METHOD ||
        (frame.payload.method.id != AMQP_CONNECTION_CLOSE_METHOD &&
         frame.payload.method.id != AMQP_CHANNEL_CLOSE_METHOD)) {
        return reply;
    }
    amqp_rpc_reply_t server;
    server.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
    server.reply = frame.payload.method;
    server.library_error = 0;
    return server;
}

}  // namespace

CConsumer::CConsumer(const char* ip, const char* queue, const char* userName, const char* pwd,
                     const char* vhost, int port, int frame_max)
    : _queue(queue), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost), _port(port),
      _frame_max(frame_max), _conn(nullptr), _bConnected(false), _bChannelOpen(false),
      _bReady(false) {}

CConsumer::~CConsumer() {
    CloseConnection(_conn, _bChannelOpen);
}

bool CConsumer::Init() {
    if (_bReady) {
        return true;
    }
    LoginParams p = {_server, _port, _vhost, _frame_max, kConsumerHeartbeat, _userName, _pwd};
    if (!ConnectionStep(_conn, p, _error, _bConnected)) {
        return false;
    }
    if (!_bChannelOpen) {
        if (!OpenChannel(_conn, _error, _bConnected)) {
            return false;
        }
        _bChannelOpen = true;
    }
    amqp_basic_consume(_conn, kChannel, amqp_cstring_bytes(_queue.c_str()), amqp_empty_bytes,
                       0, 1, 0, amqp_empty_table);
    _bReady = CheckReply();
    return _bReady;
}

int CConsumer::ConsumeMessage(char** msg) {
    if (!Init()) {
        return 2;
    }
    amqp_envelope_t* envelope = static_cast<amqp_envelope_t*>(malloc(sizeof(amqp_envelope_t)));
    if (!envelope) {
        _error = "failed to alloc the space for amqp_envelope";
        return 2;
    }
    *msg = reinterpret_cast<char*>(envelope);
    // Delivered envelopes own their memory, so the frames decoded so far can go.
    amqp_maybe_release_buffers(_conn);
    struct timeval wait = {1, 0};
    amqp_rpc_reply_t reply = amqp_consume_message(_conn, envelope, &wait, 0);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) {
        return 0;
    }
    int result = 1;
    if (reply.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION ||
        reply.library_error != AMQP_STATUS_TIMEOUT) {
        amqp_rpc_reply_t failure = ServerCloseBehind(_conn, reply);
        CheckReply(failure);
        result = 2;
    }
    free(envelope);
    *msg = nullptr;
    return result;
}

bool CConsumer::CheckReply() {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(_conn);
    return CheckReply(reply);
}

bool CConsumer::CheckReply(amqp_rpc_reply_t& reply) {
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return true;
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        _error = amqp_error_string2(reply.library_error);
        return false;
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        switch (AnswerServerClose(_conn, reply, _error, "the channel closed....",
                                  "the connection closed...")) {
        case Closed::kChannel:
            _bChannelOpen = false;
            break;
        case Closed::kConnection:
            _bConnected = false;
            break;
        case Closed::kNothing:
            break;
        }
        return false;
    default:
        return false;
    }
}

CPublisher::CPublisher(const char* ip, const char* userName, const char* pwd, const char* vhost,
                       int port, int frame_max)
    : _bReady(false), _conn(nullptr), _server(ip), _userName(userName), _pwd(pwd), _vhost(vhost),
      _port(port), _frame_max(frame_max), _bConnected(false), _bChannelOpen(false) {}

CPublisher::~CPublisher() {
    CloseConnection(_conn, _bChannelOpen);
}

bool CPublisher::Init() {
    if (_bReady) {
        return true;
    }
    LoginParams p = {_server, _port, _vhost, _frame_max, kPublisherHeartbeat, _userName, _pwd};
    if (!ConnectionStep(_conn, p, _error, _bConnected)) {
        return false;
    }
    if (!_bChannelOpen) {
        if (!OpenChannel(_conn, _error, _bConnected)) {
            return false;
        }
        _bChannelOpen = true;
        amqp_tx_select(_conn, kChannel);
        Closed closed;
        if (!SetupReplyOk(_conn, _error, closed)) {
            if (closed != Closed::kNothing) {
                _bChannelOpen = false;
            }
            if (closed == Closed::kConnection) {
                _bConnected = false;
            }
            return false;
        }
    }
    _bReady = true;
    return true;
}

bool CPublisher::PublishMessage(const char* exchange, const char* key, char* msg,
                                unsigned long size) {
    if (!Init()) {
        return false;
    }
    amqp_basic_properties_t props = {};
    props._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    props.content_type = amqp_cstring_bytes("text/plain");
    props.delivery_mode = 2;
    amqp_bytes_t body;
    body.len = size;
    body.bytes = msg;
    if (amqp_basic_publish(_conn, kChannel, amqp_cstring_bytes(exchange), amqp_cstring_bytes(key),
                           0, 0, &props, body) != AMQP_STATUS_OK) {
        return false;
    }
    amqp_tx_commit(_conn, kChannel);
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(_conn);
    if (reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION &&
        reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        // Answered, the broker drops the socket at once; unanswered, it would ignore the
        // destructor's closes and each would wait out its time limit.
        amqp_connection_close_ok_t ok;
        amqp_send_method(_conn, kConnectionChannel, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
    }
    return reply.reply_type == AMQP_RESPONSE_NORMAL;
}
