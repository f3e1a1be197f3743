// Requester side of the service's protocol on librabbitmq; see call_client.h.
#include "requester/call_client.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "amqp/connection.h"
#include "amqp/wire.h"

namespace {

const amqp_channel_t kChannel = 1;

struct timeval Timeval(long ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

}  // namespace

std::string NewGuid() {
    static std::atomic<unsigned> counter{0};
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return "call-" + std::to_string(getpid()) + "-" + std::to_string(us) + "-" +
           std::to_string(counter++);
}

CallClient::CallClient(const BrokerOptions& options) : _options(options) {}

CallClient::~CallClient() {
    AmqpClose(_conn, kChannel, _channelOpen);
}

bool CallClient::Check(const char* what) {
    return Checked(what, AmqpCheckReply(_conn, kChannel));
}

bool CallClient::Checked(const std::string& what, const AmqpReplyCheck& check) {
    if (check.Ok()) return true;
    _error = what + ": " + check.text;
    if (check.closed != AmqpClosed::kNothing) _channelOpen = false;
    return false;
}

bool CallClient::Connect(int timeoutS) {
    if (AmqpOpen(&_conn, BrokerLogin(_options, timeoutS), &_error) != AmqpOpenStep::kOpen) {
        return false;
    }
    amqp_channel_open(_conn, kChannel);
    _channelOpen = Check("opening a channel");
    return _channelOpen;
}

bool CallClient::DeclareQueue(const std::string& queue, const QueueKind& kind) {
    amqp_table_entry_t args[3];
    int n = 0;
    if (kind.quorum) {
        args[n].key = amqp_cstring_bytes("x-queue-type");
        args[n].value.kind = AMQP_FIELD_KIND_UTF8;
        args[n++].value.value.bytes = amqp_cstring_bytes("quorum");
    }
    if (kind.deliveryLimit > 0) {
        args[n].key = amqp_cstring_bytes("x-delivery-limit");
        args[n].value.kind = AMQP_FIELD_KIND_I32;
        args[n++].value.value.i32 = kind.deliveryLimit;
    }
    if (!kind.deadLetterExchange.empty()) {
        args[n].key = amqp_cstring_bytes("x-dead-letter-exchange");
        args[n].value.kind = AMQP_FIELD_KIND_UTF8;
        args[n++].value.value.bytes = amqp_cstring_bytes(kind.deadLetterExchange.c_str());
    }
    amqp_table_t arguments = {n, args};
    amqp_queue_declare(_conn, kChannel, amqp_cstring_bytes(queue.c_str()), 0, 1, 0, 0, arguments);
    return Check(("declaring queue \"" + queue + "\"").c_str());
}

bool CallClient::CheckQueue(const std::string& queue, int* messages) {
    amqp_queue_declare_ok_t* ok = amqp_queue_declare(
        _conn, kChannel, amqp_cstring_bytes(queue.c_str()), 1, 0, 0, 0, amqp_empty_table);
    if (!Check(("looking up queue \"" + queue + "\"").c_str())) return false;
    if (messages) *messages = static_cast<int>(ok->message_count);
    return true;
}

bool CallClient::Listen(const std::string& platform) {
    amqp_bytes_t exchange = amqp_cstring_bytes(platform.c_str());
    amqp_exchange_declare(_conn, kChannel, exchange, amqp_cstring_bytes("direct"), 0, 0, 0, 0,
                          amqp_empty_table);
    if (!Check(("declaring exchange \"" + platform + "\"").c_str())) return false;

    amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(_conn, kChannel, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
    if (!Check("declaring the reply queue")) return false;
    _replyQueue = AmqpText(ok->queue);

    amqp_bytes_t queue = amqp_cstring_bytes(_replyQueue.c_str());
    amqp_queue_bind(_conn, kChannel, queue, exchange, exchange, amqp_empty_table);
    if (!Check("binding the reply queue")) return false;
    amqp_basic_consume(_conn, kChannel, queue, amqp_empty_bytes, 0, 1, 1, amqp_empty_table);
    return Check("consuming the reply queue");
}

bool CallClient::Publish(const std::string& queue, const std::string& body) {
    amqp_bytes_t bytes;
    bytes.len = body.size();
    bytes.bytes = const_cast<char*>(body.data());
    int status = amqp_basic_publish(_conn, kChannel, amqp_empty_bytes,
                                    amqp_cstring_bytes(queue.c_str()), 0, 0, nullptr, bytes);
    if (status != AMQP_STATUS_OK) {
        _error = std::string("publishing the request: ") + amqp_error_string2(status);
        return false;
    }
    return true;
}

int CallClient::WaitReply(int timeoutMs, std::string* guid, std::string* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        struct timeval tv = Timeval(left > 0 ? left : 0);
        amqp_maybe_release_buffers(_conn);
        amqp_envelope_t env;
        amqp_rpc_reply_t r = amqp_consume_message(_conn, &env, &tv, 0);
        if (r.reply_type == AMQP_RESPONSE_NORMAL) {
            ResultText result = DecodeResult(env.message.body.bytes, env.message.body.len);
            *guid = result.guid;
            *text = result.text;
            amqp_destroy_envelope(&env);
            return 1;
        }
        if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
            r.library_error == AMQP_STATUS_TIMEOUT) {
            return 0;
        }
        // Something other than a delivery: a close from the broker ends the wait.
        amqp_rpc_reply_t behind = AmqpServerCloseBehind(_conn, r);
        if (behind.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
            behind.library_error == AMQP_STATUS_UNEXPECTED_STATE) {
            continue;
        }
        Checked("waiting for the reply", AmqpCheckReply(_conn, behind, kChannel));
        return -1;
    }
}
