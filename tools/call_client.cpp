// Requester side of the service's protocol on librabbitmq; see call_client.h.
#include "tools/call_client.h"

#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "client/amqp_util.h"
#include "defines.h"

namespace {

const amqp_channel_t kChannel = 1;

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

std::string BytesText(amqp_bytes_t bytes) {
    return std::string(static_cast<const char*>(bytes.bytes), bytes.len);
}

struct timeval Timeval(long ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

}  // namespace

std::string ParamText(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += item + "\r\n";
    return text;
}

bool BuildRequest(const std::string& guid, const std::string& platform,
                  const std::vector<std::string>& paramTexts, std::string* body,
                  std::string* error) {
    MSG_HEAD head;
    memset(&head, 0, sizeof head);
    if (guid.empty() || guid.size() >= sizeof head.guid) {
        *error = "the guid must be 1 to 49 characters";
        return false;
    }
    if (platform.empty() || platform.size() >= sizeof head.platform) {
        *error = "the platform must be 1 to 49 characters";
        return false;
    }
    memcpy(head.guid, guid.data(), guid.size());
    memcpy(head.platform, platform.data(), platform.size());
    head.count = static_cast<int32_t>(paramTexts.size());
    body->assign(reinterpret_cast<const char*>(&head), sizeof head);

    for (const std::string& text : paramTexts) {
        MSG_SEND record;
        memset(&record, 0, sizeof record);
        if (text.size() >= sizeof record.szParam) {
            *error = "a call record's parameters exceed 3999 bytes";
            return false;
        }
        memcpy(record.szParam, text.data(), text.size());
        body->append(reinterpret_cast<const char*>(&record), sizeof record);
    }
    return true;
}

std::string NewGuid() {
    static std::atomic<unsigned> counter{0};
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return "call-" + std::to_string(getpid()) + "-" + std::to_string(us) + "-" +
           std::to_string(counter++);
}

CallClient::CallClient(const BrokerOptions& options) : options_(options) {}

CallClient::~CallClient() {
    AmqpClose(conn_, kChannel, channelOpen_);
}

bool CallClient::Check(const char* what) {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(conn_);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) return true;
    error_ = std::string(what) + ": " + AmqpReplyText(reply);
    // Answered, the broker lets go of the channel or connection at once; the destructor's
    // closes would otherwise wait out the time limit.
    if (AmqpAnswerClose(conn_, reply, kChannel) != AmqpClosed::kNothing) channelOpen_ = false;
    return false;
}

bool CallClient::Connect(int timeout_s) {
    AmqpLogin login;
    login.server = options_.server;
    login.port = options_.port;
    login.vhost = options_.vhost;
    login.user = options_.userName;
    login.password = options_.pwd;
    login.timeout_s = timeout_s;
    if (AmqpOpen(&conn_, login, &error_) != AmqpOpenStep::kOpen) return false;
    amqp_channel_open(conn_, kChannel);
    channelOpen_ = Check("opening a channel");
    return channelOpen_;
}

bool CallClient::DeclareQueue(const std::string& queue, bool quorum) {
    amqp_table_entry_t type;
    type.key = amqp_cstring_bytes("x-queue-type");
    type.value.kind = AMQP_FIELD_KIND_UTF8;
    type.value.value.bytes = amqp_cstring_bytes("quorum");
    amqp_table_t arguments = {quorum ? 1 : 0, &type};
    amqp_queue_declare(conn_, kChannel, amqp_cstring_bytes(queue.c_str()), 0, 1, 0, 0,
                       arguments);
    return Check(("declaring queue \"" + queue + "\"").c_str());
}

bool CallClient::CheckQueue(const std::string& queue, int* messages) {
    amqp_queue_declare_ok_t* ok = amqp_queue_declare(
        conn_, kChannel, amqp_cstring_bytes(queue.c_str()), 1, 0, 0, 0, amqp_empty_table);
    if (!Check(("looking up queue \"" + queue + "\"").c_str())) return false;
    if (messages) *messages = static_cast<int>(ok->message_count);
    return true;
}

bool CallClient::Listen(const std::string& platform) {
    amqp_bytes_t exchange = amqp_cstring_bytes(platform.c_str());
    amqp_exchange_declare(conn_, kChannel, exchange, amqp_cstring_bytes("direct"), 0, 0, 0, 0,
                          amqp_empty_table);
    if (!Check(("declaring exchange \"" + platform + "\"").c_str())) return false;

    amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(conn_, kChannel, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
    if (!Check("declaring the reply queue")) return false;
    replyQueue_ = BytesText(ok->queue);

    amqp_bytes_t queue = amqp_cstring_bytes(replyQueue_.c_str());
    amqp_queue_bind(conn_, kChannel, queue, exchange, exchange, amqp_empty_table);
    if (!Check("binding the reply queue")) return false;
    amqp_basic_consume(conn_, kChannel, queue, amqp_empty_bytes, 0, 1, 1, amqp_empty_table);
    return Check("consuming the reply queue");
}

bool CallClient::Publish(const std::string& queue, const std::string& body) {
    amqp_bytes_t bytes;
    bytes.len = body.size();
    bytes.bytes = const_cast<char*>(body.data());
    int status = amqp_basic_publish(conn_, kChannel, amqp_empty_bytes,
                                    amqp_cstring_bytes(queue.c_str()), 0, 0, nullptr, bytes);
    if (status != AMQP_STATUS_OK) {
        error_ = std::string("publishing the request: ") + amqp_error_string2(status);
        return false;
    }
    return true;
}

int CallClient::WaitReply(int timeout_ms, std::string* guid, std::string* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        struct timeval tv = Timeval(left > 0 ? left : 0);
        amqp_maybe_release_buffers(conn_);
        amqp_envelope_t env;
        amqp_rpc_reply_t r = amqp_consume_message(conn_, &env, &tv, 0);
        if (r.reply_type == AMQP_RESPONSE_NORMAL) {
            const char* data = static_cast<const char*>(env.message.body.bytes);
            size_t len = env.message.body.len;
            RESULT result;
            memset(&result, 0, sizeof result);
            memcpy(&result, data, len < sizeof result ? len : sizeof result);
            *guid = FieldText(result.guid, sizeof result.guid);
            *text = FieldText(result.strResult, sizeof result.strResult);
            amqp_destroy_envelope(&env);
            return 1;
        }
        if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
            r.library_error == AMQP_STATUS_TIMEOUT) {
            return 0;
        }
        // Something other than a delivery: a close from the broker ends the wait.
        amqp_rpc_reply_t behind = AmqpServerCloseBehind(conn_, r);
        if (behind.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
            behind.library_error == AMQP_STATUS_UNEXPECTED_STATE) {
            continue;
        }
        error_ = "waiting for the reply: " + AmqpReplyText(behind);
        if (AmqpAnswerClose(conn_, behind, kChannel) != AmqpClosed::kNothing) channelOpen_ = false;
        return -1;
    }
}
