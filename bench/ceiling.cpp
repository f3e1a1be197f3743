// The ceiling's threads on librabbitmq; see ceiling.h.
#include "bench/ceiling.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include <chrono>

#include "defines.h"

namespace {

const amqp_channel_t kReplyChannel = 1;
const amqp_channel_t kConsumeChannel = 2;
const struct timeval kPollWait = {0, 100 * 1000};  // how soon a thread notices a stop
const char kReplyText[] = "10000:ceiling";

bool ReplyOk(amqp_connection_state_t conn, const char* what, std::string* error) {
    amqp_rpc_reply_t reply = amqp_get_rpc_reply(conn);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) return true;
    *error = std::string(what) + ": " + AmqpReplyText(reply);
    return false;
}

// The reply the daemon would send for this request: a RESULT carrying the request's guid,
// published to the exchange its head names with the same properties, then committed.
bool Answer(amqp_connection_state_t conn, const amqp_envelope_t& env, std::string* error) {
    T_MSG_HEAD head;
    memset(&head, 0, sizeof head);
    size_t len = env.message.body.len;
    memcpy(&head, env.message.body.bytes, len < sizeof head ? len : sizeof head);
    head.guid[sizeof head.guid - 1] = '\0';
    head.platform[sizeof head.platform - 1] = '\0';

    T_RESULT result;
    memset(&result, 0, sizeof result);
    memcpy(result.guid, head.guid, sizeof head.guid);
    memcpy(result.strResult, kReplyText, sizeof kReplyText);

    amqp_basic_properties_t props = {};
    props._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    props.content_type = amqp_cstring_bytes("text/plain");
    props.delivery_mode = 2;
    amqp_bytes_t body;
    body.len = sizeof result;
    body.bytes = &result;
    amqp_bytes_t exchange = amqp_cstring_bytes(head.platform);
    int status = amqp_basic_publish(conn, kReplyChannel, exchange, exchange, 0, 0, &props, body);
    if (status != AMQP_STATUS_OK) {
        *error = std::string("publishing a reply: ") + amqp_error_string2(status);
        return false;
    }
    amqp_tx_commit(conn, kReplyChannel);
    if (!ReplyOk(conn, "committing a reply", error)) return false;
    status = amqp_basic_ack(conn, kConsumeChannel, env.delivery_tag, 0);
    if (status != AMQP_STATUS_OK) {
        *error = std::string("acknowledging a request: ") + amqp_error_string2(status);
        return false;
    }
    return true;
}

}  // namespace

bool Ceiling::Start(std::string* error) {
    stop_ = false;
    ready_ = 0;
    failed_ = 0;
    for (int i = 0; i < options_.threads; ++i) threads_.emplace_back(&Ceiling::Serve, this);
    while (ready_ + failed_ < options_.threads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (failed_ == 0) return true;
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    *error = "ceiling: " + error_;
    return false;
}

double Ceiling::CpuSeconds() const {
    double total = 0;
    for (const std::thread& t : threads_) {
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
    stop_ = true;
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

std::string Ceiling::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Ceiling::Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) error_ = what;
}

bool Ceiling::Setup(amqp_connection_state_t conn) {
    std::string error;
    amqp_channel_open(conn, kReplyChannel);
    bool ok = ReplyOk(conn, "opening the reply channel", &error);
    if (ok) {
        amqp_tx_select(conn, kReplyChannel);
        ok = ReplyOk(conn, "tx.select", &error);
    }
    if (ok) {
        amqp_channel_open(conn, kConsumeChannel);
        ok = ReplyOk(conn, "opening the consume channel", &error);
    }
    if (ok) {
        amqp_basic_qos(conn, kConsumeChannel, 0, static_cast<uint16_t>(options_.prefetch), 0);
        ok = ReplyOk(conn, "basic.qos", &error);
    }
    if (ok) {
        amqp_basic_consume(conn, kConsumeChannel, amqp_cstring_bytes(options_.queue.c_str()),
                           amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
        ok = ReplyOk(conn, ("consuming \"" + options_.queue + "\"").c_str(), &error);
    }
    if (!ok) Fail(error);
    return ok;
}

// Deliveries of channel 2 that arrive while a commit waits on channel 1 are queued by the
// library and come out of the next amqp_consume_message.
void Ceiling::Serve() {
    amqp_connection_state_t conn = nullptr;
    std::string error;
    if (AmqpOpen(&conn, options_.login, &error) != AmqpOpenStep::kOpen || !Setup(conn)) {
        if (!error.empty()) Fail(error);
        ++failed_;
        AmqpClose(conn, kReplyChannel, false);
        return;
    }
    ++ready_;
    bool healthy = true;
    while (healthy && !stop_) {
        amqp_maybe_release_buffers(conn);
        amqp_envelope_t env;
        struct timeval wait = kPollWait;
        amqp_rpc_reply_t r = amqp_consume_message(conn, &env, &wait, 0);
        if (r.reply_type == AMQP_RESPONSE_NORMAL) {
            healthy = Answer(conn, env, &error);
            amqp_destroy_envelope(&env);
        } else if (r.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION ||
                   r.library_error != AMQP_STATUS_TIMEOUT) {
            error = "waiting for a request: " + AmqpReplyText(r);
            healthy = false;
        }
    }
    if (!healthy) Fail(error);
    // After a failure the channels may be gone; closing the connection closes them all.
    AmqpClose(conn, kReplyChannel, healthy);
}
