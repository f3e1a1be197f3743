// The ceiling's threads on librabbitmq; see ceiling.h.
#include "bench/ceiling.h"

#include <pthread.h>
#include <time.h>

#include <chrono>

#include "amqp/wire.h"
#include "bench/ceiling_pipelined.h"

namespace {

const amqp_channel_t kReplyChannel = 1;
const amqp_channel_t kConsumeChannel = 2;
const struct timeval kPollWait = {0, 100 * 1000};  // how soon a thread notices a stop
const char kReplyText[] = "10000:ceiling";
const struct timeval kConfirmWait = {10, 0};

// `channel` is the one the RPC was made on.
bool ReplyOk(amqp_connection_state_t conn, amqp_channel_t channel, const char* what,
             std::string* error) {
    const AmqpReplyCheck check = AmqpCheckReply(conn, channel);
    if (!check.Ok()) *error = std::string(what) + ": " + check.text;
    return check.Ok();
}

}  // namespace

int PublishCeilingReply(amqp_connection_state_t replyConn, amqp_channel_t channel,
                        const amqp_envelope_t& env) {
    const T_MSG_HEAD head = DecodeHead(env.message.body.bytes, env.message.body.len);
    T_RESULT result = EncodeResult(head.guid, kReplyText);
    const ReplyProperties props{ReplyExtras()};
    amqp_bytes_t body;
    body.len = sizeof result;
    body.bytes = &result;
    amqp_bytes_t exchange = amqp_cstring_bytes(head.platform);
    return amqp_basic_publish(replyConn, channel, exchange, exchange, 0, 0, props.Get(), body);
}

// The reply, then its commit or confirm, then the request's ack when consumed so.
bool Ceiling::Answer(amqp_connection_state_t conn, amqp_connection_state_t replyConn,
                     const amqp_envelope_t& env, uint64_t* published, std::string* error) {
    int status = PublishCeilingReply(replyConn, kReplyChannel, env);
    if (status != AMQP_STATUS_OK) {
        *error = std::string("publishing a reply: ") + amqp_error_string2(status);
        return false;
    }
    if (_options.confirm) {
        amqp_rpc_reply_t failure;
        if (AmqpWaitConfirm(replyConn, kReplyChannel, ++*published, kConfirmWait, &failure) !=
            AmqpConfirm::kAcked) {
            *error = "confirming a reply: " + AmqpReplyText(failure);
            return false;
        }
        amqp_maybe_release_buffers(replyConn);
    } else {
        amqp_tx_commit(replyConn, kReplyChannel);
        if (!ReplyOk(replyConn, kReplyChannel, "committing a reply", error)) return false;
    }
    if (!_options.acks) return true;
    status = amqp_basic_ack(conn, kConsumeChannel, env.delivery_tag, 0);
    if (status != AMQP_STATUS_OK) {
        *error = std::string("acknowledging a request: ") + amqp_error_string2(status);
        return false;
    }
    return true;
}

bool Ceiling::Start(std::string* error) {
    _stop = false;
    _ready = 0;
    _failed = 0;
    for (int i = 0; i < _options.threads; ++i) _threads.emplace_back(&Ceiling::Serve, this);
    while (_ready + _failed < _options.threads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (_failed == 0) return true;
    Stop();
    std::lock_guard<std::mutex> lock(_mutex);
    *error = "ceiling: " + _error;
    return false;
}

double Ceiling::CpuSeconds() const {
    double total = 0;
    for (const std::thread& t : _threads) {
        clockid_t clock;
        struct timespec ts;
        // A thread that ended after a failure has no clock left; it adds nothing.
        if (pthread_getcpuclockid(const_cast<std::thread&>(t).native_handle(), &clock) != 0 ||
            clock_gettime(clock, &ts) != 0) {
            continue;
        }
        total += ts.tv_sec + ts.tv_nsec / 1e9;
    }
    return total;
}

void Ceiling::Stop() {
    _stop = true;
    for (std::thread& t : _threads) t.join();
    _threads.clear();
}

std::string Ceiling::Error() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _error;
}

void Ceiling::Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_error.empty()) _error = what;
}

bool Ceiling::Setup(amqp_connection_state_t conn, amqp_connection_state_t replyConn) {
    std::string error;
    amqp_channel_open(replyConn, kReplyChannel);
    bool ok = ReplyOk(replyConn, kReplyChannel, "opening the reply channel", &error);
    if (ok && _options.confirm) {
        amqp_confirm_select(replyConn, kReplyChannel);
        ok = ReplyOk(replyConn, kReplyChannel, "confirm.select", &error);
    } else if (ok) {
        amqp_tx_select(replyConn, kReplyChannel);
        ok = ReplyOk(replyConn, kReplyChannel, "tx.select", &error);
    }
    if (ok) {
        amqp_channel_open(conn, kConsumeChannel);
        ok = ReplyOk(conn, kConsumeChannel, "opening the consume channel", &error);
    }
    if (ok && _options.acks) {
        amqp_basic_qos(conn, kConsumeChannel, 0, static_cast<uint16_t>(_options.prefetch), 0);
        ok = ReplyOk(conn, kConsumeChannel, "basic.qos", &error);
    }
    if (ok) {
        amqp_basic_consume(conn, kConsumeChannel, amqp_cstring_bytes(_options.queue.c_str()),
                           amqp_empty_bytes, 0, _options.acks ? 0 : 1, 0, amqp_empty_table);
        const std::string what = "consuming \"" + _options.queue + "\"";
        ok = ReplyOk(conn, kConsumeChannel, what.c_str(), &error);
    }
    if (!ok) Fail(error);
    return ok;
}

void Ceiling::Serve() {
    amqp_connection_state_t conn = nullptr, second = nullptr;
    std::string error;
    const bool open = AmqpOpen(&conn, _options.login, &error) == AmqpOpenStep::kOpen &&
                      AmqpOpen(&second, _options.login, &error) == AmqpOpenStep::kOpen;
    amqp_connection_state_t replyConn = second;
    if (!open || !Setup(conn, replyConn)) {
        if (!error.empty()) Fail(error);
        ++_failed;
        AmqpClose(conn, kReplyChannel, false);
        AmqpClose(second, kReplyChannel, false);
        return;
    }
    ++_ready;
    bool healthy = true;
    uint64_t published = 0;
    if (_options.pipelined) {
        healthy = ServePipelined({conn, kConsumeChannel, replyConn, kReplyChannel}, _stop, &error);
    }
    while (healthy && !_stop) {
        amqp_maybe_release_buffers(conn);
        amqp_envelope_t env;
        struct timeval wait = kPollWait;
        amqp_rpc_reply_t r = amqp_consume_message(conn, &env, &wait, 0);
        if (r.reply_type == AMQP_RESPONSE_NORMAL) {
            healthy = Answer(conn, replyConn, env, &published, &error);
            amqp_destroy_envelope(&env);
        } else if (r.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION ||
                   r.library_error != AMQP_STATUS_TIMEOUT) {
            error = "waiting for a request: " + AmqpReplyText(r);
            healthy = false;
        }
    }
    if (!healthy) Fail(error);
    // After a failure the channels may be gone; closing the connection closes them all.
    AmqpClose(conn, kConsumeChannel, healthy);
    AmqpClose(second, kReplyChannel, healthy);
}
