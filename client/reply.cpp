// The reply path: the address of a reply and its publish, on a connection opened for it or on
// one a worker keeps from reply to reply.
#include "client/reply.h"

#include <chrono>
#include <memory>

#include "amqp/connection.h"
#include "client/MQService.h"
#include "client/deadline.h"
#include "client/reply_pipelined.h"
#include "core/log.h"
#include "core/stats.h"
#include "core/thread_context.h"

namespace {

// A per_worker connection idle longer than this is opened anew rather than trusted: one that
// died without a word (a partition, a broker restarted meanwhile) cannot be told from a live
// one, and a reply sent on it is lost after its commit was sent.
const int kDefaultIdleLimitS = 60;

// Publishes on `publisher`, which starts from this worker's next host when `server` lists
// several; the hosts that failed are logged by name.
Sending Publish(CPublisher& publisher, const Reply& r, const BrokerSettings& b) {
    publisher.SetFirstHost(ThisThread().next_host++);
    publisher.SetTls(b.tls);
    Sending out;
    T_RESULT result = r.result;  // the publisher takes a mutable record
    out.sent = publisher.PublishMessage(r.exchange.c_str(), r.key.c_str(),
                                        reinterpret_cast<char*>(&result), sizeof result, r.extras);
    if (!publisher.HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(publisher.HostFailures().c_str());
    }
    if (!out.sent) {
        out.refused = publisher.Refused();
        out.why = publisher.Detail();
    }
    return out;
}

}  // namespace

// A worker thread's reply connection, kept in its ThreadContext.
struct ReplySlot {
    BrokerSettings opened;
    bool confirm = false;
    std::unique_ptr<CPublisher> publisher;
    std::chrono::steady_clock::time_point used;
};

namespace {

// Publishes `reply` over a worker's own connection, kept from reply to reply and opened anew
// when the broker settings or reply_commit change or it idled past `idleLimit`. A reused
// connection that fails before tx.commit (confirm mode: the publish) was sent (the broker
// restarted while it idled, say) is replaced and the reply tried once more; after that there
// is no retry, so no reply is sent twice.
Sending PublishOnWorkerConnection(const Settings& s, std::chrono::seconds idleLimit,
                                  const Reply& reply) {
    using Clock = std::chrono::steady_clock;
    // The worker's connection, not settings: one AMQP connection per thread, never shared,
    // closed when its worker thread ends. `opened` and `confirm` only tell whether the
    // settings the caller passed still match it.
    std::unique_ptr<ReplySlot, void (*)(ReplySlot*)>& held = ThisThread().reply;
    if (!held) held = {new ReplySlot, [](ReplySlot* r) { delete r; }};
    ReplySlot& slot = *held;
    const BrokerSettings& b = s.broker;
    if (slot.publisher && !(slot.opened == b && slot.confirm == s.reply_confirm &&
                            Clock::now() - slot.used < idleLimit && slot.publisher->Alive())) {
        slot.publisher.reset();
    }
    const bool reused = slot.publisher != nullptr;
    Sending out;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!slot.publisher) {
            slot.publisher.reset(new CPublisher(b.server.c_str(), b.userName.c_str(), b.pwd.c_str(),
                                                b.vhost.c_str(), b.port, b.frame_max));
            slot.publisher->SetConfirm(s.reply_confirm);
            slot.opened = b;
            slot.confirm = s.reply_confirm;
        }
        out = Publish(*slot.publisher, reply, b);
        slot.used = Clock::now();
        if (out.sent) break;
        const bool retry = attempt == 0 && reused && !slot.publisher->CommitSent();
        slot.publisher.reset();
        if (!retry) break;
    }
    return out;
}

// A caller that sent its trace context gets it back on the reply, naming the daemon's span
// that sent it; a request without one (or with a malformed one) gets no headers.
void AddTraceContext(const RequestTrace& t, ReplyExtras* extras) {
    if (!t.from_caller) return;
    extras->headers.emplace_back("traceparent",
                                 FormatTraceParent({t.trace_id, t.send_span_id, t.parent.flags}));
    if (!t.state.empty()) extras->headers.emplace_back("tracestate", t.state);
}

}  // namespace

Reply AddressOf(const Settings& s, const Request& r, const T_RESULT& result) {
    Reply reply{r.Platform(), r.Platform(), result, ReplyExtras()};
    if (s.reply_to && r.has_reply_to) {
        reply.exchange = "";
        reply.key = r.reply_to;
        reply.extras.correlation_id = r.correlation_id;
    }
    AddTraceContext(r.trace, &reply.extras);
    reply.extras.expiration = ReplyExpiration(s, r);
    return reply;
}

namespace {

// per_reply: a connection opened for this reply alone.
Sending PublishOnOwnConnection(const Settings& s, const Reply& reply) {
    const BrokerSettings& b = s.broker;
    CPublisher publisher(b.server.c_str(), b.userName.c_str(), b.pwd.c_str(), b.vhost.c_str(),
                         b.port, b.frame_max);
    publisher.SetConfirm(s.reply_confirm);
    return Publish(publisher, reply, b);
}

// per_worker: the worker's connection, kept from reply to reply.
Sending PublishOnWorkersConnection(const Settings& s, const Reply& reply) {
    const int idle = s.heartbeat > 0 ? s.heartbeat : kDefaultIdleLimitS;
    return PublishOnWorkerConnection(s, std::chrono::seconds(idle), reply);
}

// The ways of sending, by reply_connection; a new way is a row here (and its settings row).
// A way with `send` waits for the broker's answer on the worker's thread; one with `handOver`
// takes the reply and tells `done` later, from its own thread.
struct ReplyWay {
    int connection;
    Sending (*send)(const Settings& s, const Reply& reply);
    void (*handOver)(const Settings& s, Reply reply, const ReplyDone& done);
};
const ReplyWay kWays[] = {
    {kPerWorker, PublishOnWorkersConnection, nullptr},
    {kPipelined, nullptr, HandOverPipelined},
    {kPerReply, PublishOnOwnConnection, nullptr},
};

}  // namespace

void HandOver(const Settings& s, Reply reply, const ReplyDone& done) {
    const ReplyWay* way = kWays;
    while (way->connection != s.reply_connection && way->connection != kPerReply) ++way;
    if (way->handOver) return way->handOver(s, std::move(reply), done);
    const Sending out = way->send(s, reply);
    ++(out.sent ? Stats().replies_sent : Stats().replies_failed);
    done(reply, out);
}

void LogSendFailure(const Settings& s, const Reply& reply, const Sending& sending) {
    const std::string line = "the reply to exchange \"" + reply.exchange + "\" with key \"" +
                             reply.key + "\" as user \"" + s.broker.userName + "\" on vhost \"" +
                             s.broker.vhost + "\" failed: " + sending.why;
    LOG(VisibleControls(line.c_str()).c_str());
}
