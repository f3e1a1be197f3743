// The client's I/O thread: it alone touches the broker connection. Calls reach it through a
// list under a mutex and an eventfd that wakes its poll; their promises are kept by guid until
// the reply, the time limit or the connection's end completes them.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "amqp/connection.h"
#include "amqp/wire.h"
#include "tolvane/client.h"

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;
const amqp_channel_t kChannel = 1;
// A poll never waits longer, so that a TLS record OpenSSL holds back is read soon after all.
const int kMaxPollMs = 200;

struct Pending {
    std::string guid;
    std::string body;
    Clock::time_point deadline;
    int64_t deadlineMs;  // the same on the epoch's clock, for the daemon: the `deadline` header
    std::chrono::milliseconds timeout;
    std::promise<Result> promise;
};

Result Failed(Failure failure, const std::string& error, const std::string& where = "") {
    Result r;
    r.failure = failure;
    r.error = error;
    r.where = where;
    return r;
}

// The request's properties: the `deadline` header, milliseconds since the epoch after which
// the call no longer waits, so that a daemon that honours it neither runs nor answers a request
// taken too late.
class RequestProperties {
public:
    explicit RequestProperties(int64_t deadlineMs) : _props(), _deadline() {
        _deadline.key = amqp_cstring_bytes("deadline");
        _deadline.value.kind = AMQP_FIELD_KIND_I64;
        _deadline.value.value.i64 = deadlineMs;
        _props._flags = AMQP_BASIC_HEADERS_FLAG;
        _props.headers.num_entries = 1;
        _props.headers.entries = &_deadline;
    }
    RequestProperties(const RequestProperties&) = delete;
    RequestProperties& operator=(const RequestProperties&) = delete;
    const amqp_basic_properties_t* Get() const { return &_props; }

private:
    amqp_basic_properties_t _props;
    amqp_table_entry_t _deadline;
};

bool Bad(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The record's parameter text, or why the record cannot be carried.
bool RecordText(const Record& record, size_t index, std::string* text, std::string* error) {
    const std::string which = "record " + std::to_string(index + 1);
    for (const auto& item : record) {
        if (item.first.empty() || item.first.find('=') != std::string::npos || Bad(item.first) ||
            Bad(item.second)) {
            *error = which + ": the item \"" + item.first +
                     "\" has an empty key, an \"=\" in its key, or a NUL, CR or LF";
            return false;
        }
        *text += item.first + "=" + item.second + "\r\n";
    }
    if (text->size() >= sizeof(MSG_SEND::szParam)) {
        *error = which + ": its items take " + std::to_string(text->size()) +
                 " bytes, more than the 3999 a record holds";
        return false;
    }
    return true;
}

std::string GuidPrefix() {
    std::random_device random;
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", random());
    return "tc-" + std::to_string(getpid()) + "-" + hex + "-";
}

}  // namespace

// Hidden: a nested class takes its visibility from Client, which is exported.
struct __attribute__((visibility("hidden"))) Client::Impl {
    explicit Impl(const Options& o) : options(o), guidPrefix(GuidPrefix()) {}

    void Run();
    void Submit(std::unique_ptr<Pending> call);
    std::vector<std::unique_ptr<Pending>> Take(bool* stopping);
    bool Open(Result* failure);
    bool Setup(Result* failure);
    void Send(std::vector<std::unique_ptr<Pending>> calls);
    void Drain();
    void TakeFrame();
    void Expire();
    void Lose(Failure failure, const std::string& error);
    int PollMs() const;
    void Complete(const std::string& guid, Result result);

    Options options;
    std::string guidPrefix;
    std::atomic<unsigned long> counter{0};
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    std::mutex mutex;
    std::vector<std::unique_ptr<Pending>> queued;  // under mutex
    bool stopping = false;                         // under mutex

    // The I/O thread's own.
    amqp_connection_state_t conn = nullptr;
    std::string where;
    std::unordered_map<std::string, std::unique_ptr<Pending>> inFlight;
    std::multimap<Clock::time_point, std::string> deadlines;  // may name completed calls
    std::thread thread;
};

void Client::Impl::Submit(std::unique_ptr<Pending> call) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        queued.push_back(std::move(call));
    }
    const uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
}

std::vector<std::unique_ptr<Pending>> Client::Impl::Take(bool* stop) {
    uint64_t count;
    (void)!read(wake, &count, sizeof count);
    std::lock_guard<std::mutex> lock(mutex);
    *stop = stopping;
    return std::move(queued);
}

void Client::Impl::Run() {
    for (;;) {
        bool stop = false;
        std::vector<std::unique_ptr<Pending>> calls = Take(&stop);
        if (stop) {
            for (auto& c : calls) c->promise.set_value(Failed(Failure::kClosed, "client closed"));
            Lose(Failure::kClosed, "client closed");
            return;
        }
        if (!calls.empty()) Send(std::move(calls));
        Expire();
        struct pollfd fds[2] = {{wake, POLLIN, 0}, {-1, POLLIN, 0}};
        if (conn) fds[1].fd = amqp_get_sockfd(conn);
        poll(fds, conn ? 2 : 1, PollMs());
        if (conn) Drain();
    }
}

int Client::Impl::PollMs() const {
    if (!conn) return deadlines.empty() ? -1 : kMaxPollMs;
    if (deadlines.empty()) return kMaxPollMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadlines.begin()->first - Clock::now())
                          .count();
    return static_cast<int>(std::max<long>(0, std::min<long>(left + 1, kMaxPollMs)));
}

bool Client::Impl::Open(Result* failure) {
    BrokerSettings broker;
    broker.server = options.server;
    broker.port = options.port;
    broker.userName = options.userName;
    broker.pwd = options.pwd;
    broker.vhost = options.vhost;
    broker.frame_max = options.frame_max;
    broker.tls = {options.tls, options.tls_ca_file, options.tls_cert_file, options.tls_key_file,
                  options.tls_verify};
    std::string why;
    if (!options.pwd_file.empty() && !ReadPasswordFile(options.pwd_file, &broker.pwd, &why)) {
        *failure = Failed(Failure::kBadArgument, "pwd_file " + options.pwd_file + ": " + why);
        return false;
    }
    const AmqpOpenStep step =
        AmqpOpen(&conn, BrokerLogin(broker, options.connect_timeout), &why, &where);
    if (step == AmqpOpenStep::kOpen) return Setup(failure);
    if (conn) amqp_destroy_connection(conn);
    conn = nullptr;
    const bool refused = step == AmqpOpenStep::kLogin || step == AmqpOpenStep::kNoSocket;
    *failure = Failed(refused ? Failure::kRefused : Failure::kUnreachable,
                      "broker " + where + ": " + why, where);
    return false;
}

// Channel 1, the platform exchange and a private queue bound to it, consumed without acks.
bool Client::Impl::Setup(Result* failure) {
    const amqp_bytes_t exchange = amqp_cstring_bytes(options.platform.c_str());
    amqp_channel_open(conn, kChannel);
    AmqpReplyCheck check = AmqpCheckReply(conn, kChannel);
    if (check.Ok()) {
        amqp_exchange_declare(conn, kChannel, exchange, amqp_cstring_bytes("direct"), 0, 0, 0, 0,
                              amqp_empty_table);
        check = AmqpCheckReply(conn, kChannel);
    }
    std::string queue;
    if (check.Ok()) {
        auto* ok =
            amqp_queue_declare(conn, kChannel, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
        check = AmqpCheckReply(conn, kChannel);
        if (check.Ok()) queue = AmqpText(ok->queue);
    }
    if (check.Ok()) {
        amqp_queue_bind(conn, kChannel, amqp_cstring_bytes(queue.c_str()), exchange, exchange,
                        amqp_empty_table);
        check = AmqpCheckReply(conn, kChannel);
    }
    if (check.Ok()) {
        amqp_basic_consume(conn, kChannel, amqp_cstring_bytes(queue.c_str()), amqp_empty_bytes, 0,
                           1, 1, amqp_empty_table);
        check = AmqpCheckReply(conn, kChannel);
    }
    if (check.Ok()) return true;
    amqp_destroy_connection(conn);
    conn = nullptr;
    *failure = Failed(Failure::kRefused,
                      "broker " + where + ": setting up the replies of platform \"" +
                          options.platform + "\": " + check.text,
                      where);
    return false;
}

void Client::Impl::Send(std::vector<std::unique_ptr<Pending>> calls) {
    Result failure;
    if (!conn && !Open(&failure)) {
        for (auto& c : calls) c->promise.set_value(failure);
        return;
    }
    for (auto& c : calls) {
        const std::string guid = c->guid;
        amqp_bytes_t body = {c->body.size(), const_cast<char*>(c->body.data())};
        if (inFlight.count(guid)) {
            c->promise.set_value(Failed(Failure::kBadArgument, "guid " + guid + " is in flight"));
            continue;
        }
        deadlines.emplace(c->deadline, guid);
        inFlight.emplace(guid, std::move(c));
        if (!conn) continue;  // lost on an earlier send: failed at once below
        const RequestProperties props(inFlight[guid]->deadlineMs);
        const int status =
            amqp_basic_publish(conn, kChannel, amqp_empty_bytes,
                               amqp_cstring_bytes(options.queue.c_str()), 1, 0, props.Get(), body);
        if (status != AMQP_STATUS_OK) {
            Lose(Failure::kConnectionLost,
                 "broker " + where + ": publishing the request: " + amqp_error_string2(status));
        }
    }
    if (!conn) Lose(Failure::kConnectionLost, "broker " + where + ": connection lost");
}

void Client::Impl::Complete(const std::string& guid, Result result) {
    auto it = inFlight.find(guid);
    if (it == inFlight.end()) return;  // timed out already, or another client's reply
    it->second->promise.set_value(std::move(result));
    inFlight.erase(it);
}

void Client::Impl::Expire() {
    const auto now = Clock::now();
    while (!deadlines.empty() && deadlines.begin()->first <= now) {
        const std::string guid = deadlines.begin()->second;
        deadlines.erase(deadlines.begin());
        auto it = inFlight.find(guid);
        if (it == inFlight.end()) continue;
        Complete(guid, Failed(Failure::kTimeout,
                              "no reply to request " + guid + " within " +
                                  std::to_string(it->second->timeout.count()) +
                                  " ms (is the daemon running and consuming queue \"" +
                                  options.queue + "\"?)",
                              where));
    }
    if (inFlight.empty()) deadlines.clear();
}

// Every frame already here: replies complete their calls, anything else is TakeFrame's.
void Client::Impl::Drain() {
    while (conn) {
        struct timeval now = {0, 0};
        amqp_maybe_release_buffers(conn);
        amqp_envelope_t env;
        const amqp_rpc_reply_t r = amqp_consume_message(conn, &env, &now, 0);
        if (r.reply_type == AMQP_RESPONSE_NORMAL) {
            const ResultText got = DecodeResult(env.message.body.bytes, env.message.body.len);
            amqp_destroy_envelope(&env);
            Result result;
            result.reply = {got.guid, got.text, got.text.compare(0, 6, "10000:") == 0};
            result.where = where;
            Complete(got.guid, std::move(result));
        } else if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
                   r.library_error == AMQP_STATUS_TIMEOUT) {
            return;
        } else if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
                   r.library_error == AMQP_STATUS_UNEXPECTED_STATE) {
            TakeFrame();
        } else {
            Lose(Failure::kConnectionLost,
                 "broker " + where + ": connection lost: " + AmqpReplyText(r));
        }
    }
}

// A frame other than a delivery: a request the broker could not route (no such queue) fails
// its call; a close from the broker ends the connection.
void Client::Impl::TakeFrame() {
    amqp_frame_t frame;
    if (amqp_simple_wait_frame(conn, &frame) != AMQP_STATUS_OK) {
        Lose(Failure::kConnectionLost, "broker " + where + ": connection lost");
        return;
    }
    if (frame.frame_type != AMQP_FRAME_METHOD) return;
    const amqp_method_number_t id = frame.payload.method.id;
    if (id == AMQP_BASIC_RETURN_METHOD) {
        auto* ret = static_cast<amqp_basic_return_t*>(frame.payload.method.decoded);
        const std::string why = std::to_string(ret->reply_code) + " " + AmqpText(ret->reply_text);
        amqp_message_t message;
        if (amqp_read_message(conn, frame.channel, &message, 0).reply_type !=
            AMQP_RESPONSE_NORMAL) {
            Lose(Failure::kConnectionLost, "broker " + where + ": connection lost");
            return;
        }
        const T_MSG_HEAD head = DecodeHead(message.body.bytes, message.body.len);
        amqp_destroy_message(&message);
        Complete(head.guid, Failed(Failure::kRefused,
                                   "broker " + where + ": the request was returned (" + why +
                                       "): no queue \"" + options.queue + "\"",
                                   where));
    } else if (id == AMQP_BASIC_CANCEL_METHOD) {
        Lose(Failure::kConnectionLost, "broker " + where + ": the reply queue was deleted");
    } else if (id == AMQP_CHANNEL_CLOSE_METHOD || id == AMQP_CONNECTION_CLOSE_METHOD) {
        amqp_rpc_reply_t reply = {};
        reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
        reply.reply = frame.payload.method;
        const std::string text = AmqpReplyText(reply);
        AmqpAnswerClose(conn, reply, kChannel);
        Lose(Failure::kConnectionLost, "broker " + where + ": closed: " + text);
    }
}

// Ends the connection, if any, and fails every call in flight with `error`.
void Client::Impl::Lose(Failure failure, const std::string& error) {
    if (conn) amqp_destroy_connection(conn);
    conn = nullptr;
    for (auto& entry : inFlight) entry.second->promise.set_value(Failed(failure, error, where));
    inFlight.clear();
    deadlines.clear();
}

Client::Client(const Options& options) : _impl(new Impl(options)) {
    _impl->thread = std::thread([this] { _impl->Run(); });
}

Client::~Client() {
    {
        std::lock_guard<std::mutex> lock(_impl->mutex);
        _impl->stopping = true;
    }
    const uint64_t one = 1;
    (void)!write(_impl->wake, &one, sizeof one);
    _impl->thread.join();
    close(_impl->wake);
}

std::future<Result> Client::CallAsync(const std::vector<Record>& records,
                                      std::chrono::milliseconds timeout, const std::string& guid) {
    auto call = std::make_unique<Pending>();
    std::future<Result> future = call->promise.get_future();
    call->guid = guid.empty() ? _impl->guidPrefix + std::to_string(_impl->counter++) : guid;
    call->timeout = timeout;
    call->deadline = Clock::now() + timeout;
    call->deadlineMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           (std::chrono::system_clock::now() + timeout).time_since_epoch())
                           .count();
    std::vector<std::string> texts(records.size());
    std::string error;
    for (size_t i = 0; i < records.size() && error.empty(); ++i) {
        RecordText(records[i], i, &texts[i], &error);
    }
    if (error.empty() && _impl->options.queue.empty()) error = "no queue given";
    if (error.empty())
        BuildRequest(call->guid, _impl->options.platform, texts, &call->body, &error);
    if (!error.empty()) {
        call->promise.set_value(Failed(Failure::kBadArgument, error));
        return future;
    }
    _impl->Submit(std::move(call));
    return future;
}

Result Client::Call(const std::vector<Record>& records, std::chrono::milliseconds timeout,
                    const std::string& guid) {
    return CallAsync(records, timeout, guid).get();
}

const char* Version() {
    return TOLVANE_CLIENT_VERSION;
}

}  // namespace tolvane
