// Test-side AMQP peer: one connection with publisher confirms on channel 1, so that a
// Publish has reached its queues when it returns. A server channel.close (a missing queue or
// exchange) is answered and the channel reopened, so one failed call does not spoil the next.
#include "amqp_test_client.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "amqp/connection.h"
#include "testutil.h"

namespace {

const amqp_channel_t kChannel = 1;
const int kTimeoutSec = 10;

amqp_bytes_t Bytes(const std::string& s) {
    amqp_bytes_t b;
    b.len = s.size();
    b.bytes = const_cast<char*>(s.data());
    return b;
}

bool OpenChannel(amqp_connection_state_t conn) {
    amqp_channel_open(conn, kChannel);
    if (amqp_get_rpc_reply(conn).reply_type != AMQP_RESPONSE_NORMAL) return false;
    amqp_confirm_select(conn, kChannel);
    return amqp_get_rpc_reply(conn).reply_type == AMQP_RESPONSE_NORMAL;
}

// Checks `reply`; repairs the channel after a server channel.close.
bool Checked(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply) {
    const AmqpReplyCheck check = AmqpCheckReply(conn, reply, kChannel);
    if (check.closed == AmqpClosed::kChannel) OpenChannel(conn);
    return check.Ok();
}

// Checks the reply of the RPC just made.
bool Checked(amqp_connection_state_t conn) {
    return Checked(conn, amqp_get_rpc_reply(conn));
}

std::string CtlCommand(const std::string& args) {
    // Debian's /usr/sbin wrapper drops from root to the node's user; others call the tool itself.
    const char* bin = getuid() == 0 ? "/usr/sbin/rabbitmqctl" : "/usr/lib/rabbitmq/bin/rabbitmqctl";
    return std::string(bin) + " -q -n " + TEST_NODE + " " + args;
}

void ReadProperties(const amqp_basic_properties_t& p, TestProperties* props) {
    *props = TestProperties();
    if (p._flags & AMQP_BASIC_EXPIRATION_FLAG) props->expiration = AmqpText(p.expiration);
    if (p._flags & AMQP_BASIC_CORRELATION_ID_FLAG) {
        props->correlation_id = AmqpText(p.correlation_id);
    }
    if (!(p._flags & AMQP_BASIC_HEADERS_FLAG)) return;
    for (int i = 0; i < p.headers.num_entries; ++i) {
        const amqp_table_entry_t& e = p.headers.entries[i];
        const amqp_field_value_t& v = e.value;
        std::string value = "(kind " + std::to_string(v.kind) + ")";
        if (v.kind == AMQP_FIELD_KIND_UTF8 || v.kind == AMQP_FIELD_KIND_BYTES) {
            value = AmqpText(v.value.bytes);
        } else if (v.kind == AMQP_FIELD_KIND_I64) {
            value = std::to_string(v.value.i64);
        }
        props->headers[AmqpText(e.key)] = value;
    }
}

}  // namespace

TestAmqp::~TestAmqp() {
    AmqpClose(_conn, kChannel, true);
}

bool TestAmqp::Connect(int port, const char* user, const char* pwd) {
    BrokerSettings broker;
    broker.port = port;
    broker.userName = user;
    broker.pwd = pwd;
    return Connect(broker);
}

bool TestAmqp::Connect(const BrokerSettings& broker) {
    if (_conn) return false;
    std::string detail;
    return AmqpOpen(&_conn, BrokerLogin(broker, kTimeoutSec), &detail) == AmqpOpenStep::kOpen &&
           OpenChannel(_conn);
}

bool TestAmqp::DeclareExchange(const std::string& name, const std::string& type) {
    if (!_conn) return false;
    amqp_exchange_declare(_conn, kChannel, Bytes(name), Bytes(type), 0, 0, 0, 0, amqp_empty_table);
    return Checked(_conn);
}

bool TestAmqp::DeleteExchange(const std::string& name) {
    if (!_conn) return false;
    amqp_exchange_delete(_conn, kChannel, Bytes(name), 0);
    return Checked(_conn);
}

bool TestAmqp::DeclareQueue(const std::string& name) {
    if (!_conn) return false;
    amqp_queue_declare(_conn, kChannel, Bytes(name), 0, 0, 0, 0, amqp_empty_table);
    return Checked(_conn);
}

bool TestAmqp::DeleteQueue(const std::string& name) {
    if (!_conn) return false;
    amqp_queue_delete(_conn, kChannel, Bytes(name), 0, 0);
    return Checked(_conn);
}

bool TestAmqp::PurgeQueue(const std::string& name) {
    if (!_conn) return false;
    amqp_queue_purge(_conn, kChannel, Bytes(name));
    return Checked(_conn);
}

bool TestAmqp::Bind(const std::string& queue, const std::string& exchange, const std::string& key) {
    if (!_conn) return false;
    amqp_queue_bind(_conn, kChannel, Bytes(queue), Bytes(exchange), Bytes(key), amqp_empty_table);
    return Checked(_conn);
}

bool TestAmqp::Publish(const std::string& exchange, const std::string& key,
                       const std::string& body) {
    return PublishWith(exchange, key, body, nullptr);
}

bool TestAmqp::Publish(const std::string& exchange, const std::string& key, const std::string& body,
                       const std::vector<TestHeader>& headers) {
    std::vector<amqp_table_entry_t> entries(headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        entries[i].key = Bytes(headers[i].key);
        if (headers[i].number) {
            entries[i].value.kind = AMQP_FIELD_KIND_I64;
            entries[i].value.value.i64 = strtoll(headers[i].value.c_str(), nullptr, 10);
        } else {
            entries[i].value.kind = AMQP_FIELD_KIND_UTF8;
            entries[i].value.value.bytes = Bytes(headers[i].value);
        }
    }
    amqp_basic_properties_t props = {};
    props._flags = AMQP_BASIC_HEADERS_FLAG;
    props.headers.num_entries = static_cast<int>(entries.size());
    props.headers.entries = entries.data();
    return PublishWith(exchange, key, body, &props);
}

bool TestAmqp::PublishReplyTo(const std::string& key, const std::string& body,
                              const std::string& replyTo, const std::string& correlationId) {
    amqp_basic_properties_t props = {};
    props._flags = AMQP_BASIC_REPLY_TO_FLAG | AMQP_BASIC_CORRELATION_ID_FLAG;
    props.reply_to = Bytes(replyTo);
    props.correlation_id = Bytes(correlationId);
    return PublishWith("", key, body, &props);
}

bool TestAmqp::PublishWith(const std::string& exchange, const std::string& key,
                           const std::string& body, const amqp_basic_properties_t* props) {
    if (!_conn) return false;
    amqp_maybe_release_buffers(_conn);
    if (amqp_basic_publish(_conn, kChannel, Bytes(exchange), Bytes(key), 0, 0, props,
                           Bytes(body)) != AMQP_STATUS_OK) {
        return false;
    }
    // The broker confirms once the message is in its queues (or dropped as unroutable).
    struct timeval tv = {kTimeoutSec, 0};
    amqp_frame_t frame;
    if (amqp_simple_wait_frame_noblock(_conn, &frame, &tv) != AMQP_STATUS_OK) return false;
    if (frame.frame_type != AMQP_FRAME_METHOD) return false;
    if (frame.payload.method.id == AMQP_CHANNEL_CLOSE_METHOD) {
        amqp_rpc_reply_t r = {};
        r.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
        r.reply = frame.payload.method;
        return Checked(_conn, r);
    }
    return frame.payload.method.id == AMQP_BASIC_ACK_METHOD;
}

bool TestAmqp::Get(const std::string& queue, std::string* body, int timeoutMs,
                   std::string* contentType, int* deliveryMode) {
    return GetWith(queue, body, timeoutMs, contentType, deliveryMode, nullptr);
}

bool TestAmqp::Get(const std::string& queue, std::string* body, int timeoutMs,
                   TestProperties* props) {
    return GetWith(queue, body, timeoutMs, nullptr, nullptr, props);
}

bool TestAmqp::GetWith(const std::string& queue, std::string* body, int timeoutMs,
                       std::string* contentType, int* deliveryMode, TestProperties* props) {
    if (!_conn) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        amqp_maybe_release_buffers(_conn);
        amqp_rpc_reply_t r = amqp_basic_get(_conn, kChannel, Bytes(queue), 1);
        if (!Checked(_conn, r)) return false;
        if (r.reply.id == AMQP_BASIC_GET_OK_METHOD) break;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    amqp_message_t message;
    if (amqp_read_message(_conn, kChannel, &message, 0).reply_type != AMQP_RESPONSE_NORMAL) {
        return false;
    }
    if (body) body->assign(static_cast<const char*>(message.body.bytes), message.body.len);
    const amqp_basic_properties_t& p = message.properties;
    if (contentType) {
        contentType->clear();
        if (p._flags & AMQP_BASIC_CONTENT_TYPE_FLAG) {
            *contentType = AmqpText(p.content_type);
        }
    }
    if (deliveryMode)
        *deliveryMode = (p._flags & AMQP_BASIC_DELIVERY_MODE_FLAG) ? p.delivery_mode : 0;
    if (props) ReadProperties(p, props);
    amqp_destroy_message(&message);
    return true;
}

int TestAmqp::MessageCount(const std::string& queue) {
    if (!_conn) return -1;
    amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(_conn, kChannel, Bytes(queue), 1, 0, 0, 0, amqp_empty_table);
    if (!Checked(_conn) || !ok) return -1;
    return static_cast<int>(ok->message_count);
}

int Rabbitmqctl(const std::string& args) {
    return testutil::TempDir::Run(CtlCommand(args) + " > /dev/null");
}

std::string RabbitmqctlOutput(const std::string& args) {
    return testutil::Capture(CtlCommand(args));
}
