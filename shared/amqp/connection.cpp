// Broker connections on librabbitmq; see connection.h. librabbitmq sends with MSG_NOSIGNAL, so a
// broker that vanishes mid-write gives an error status, not SIGPIPE.
#include "amqp/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "amqp/tls.h"

namespace {

const amqp_channel_t kConnectionChannel = 0;

// TCP keepalive on every broker socket: an idle connection whose peer vanished without a word
// (a partition, a host gone) is found dead by the kernel within about a minute, instead of
// never; TCP_USER_TIMEOUT does the same for data the peer stopped acknowledging.
const int kKeepIdleS = 30;
const int kKeepIntervalS = 10;
const int kKeepCount = 3;
const unsigned kUserTimeoutMs = 60000;

// How long a host that failed is tried after the others.
const std::chrono::seconds kHostPenalty(60);
// How often keep_going is asked while one host's open waits.
const std::chrono::milliseconds kAskEvery(250);

using Clock = std::chrono::steady_clock;

// Hosts that failed lately, process-wide, by their text.
std::mutex failedLock;
std::map<std::string, Clock::time_point> failedAt;

void Keepalive(amqp_socket_t* socket) {
    const int fd = amqp_socket_get_sockfd(socket);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

// The hosts in the order to try: from `first` round the list, those that failed within the
// penalty last. A host whose penalty ran out is stamped again as it is handed out, so that of
// the threads rotating over the list only one waits on it while it is still down.
std::vector<AmqpHost> TryOrder(const std::vector<AmqpHost>& hosts, unsigned first) {
    std::vector<AmqpHost> fresh, failed;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> hold(failedLock);
    for (size_t k = 0; k < hosts.size(); ++k) {
        const AmqpHost& host = hosts[(first + k) % hosts.size()];
        auto it = failedAt.find(host.Text());
        if (it == failedAt.end()) {
            fresh.push_back(host);
        } else if (now - it->second >= kHostPenalty) {
            it->second = now;
            fresh.push_back(host);
        } else {
            failed.push_back(host);
        }
    }
    fresh.insert(fresh.end(), failed.begin(), failed.end());
    return fresh;
}

void MarkHost(const AmqpHost& host, bool failed) {
    std::lock_guard<std::mutex> hold(failedLock);
    if (failed) {
        failedAt[host.Text()] = Clock::now();
    } else {
        failedAt.erase(host.Text());
    }
}

// Announced so that the broker tells a consumer when its queue is deleted (basic.cancel);
// otherwise a consumer would wait on a dead queue for ever without noticing. With
// blocked_notices, also that a resource alarm blocks the connection (connection.blocked).
amqp_rpc_reply_t Login(amqp_connection_state_t conn, const AmqpLogin& p) {
    amqp_table_entry_t capabilities[2];
    const char* const names[2] = {"consumer_cancel_notify", "connection.blocked"};
    for (int i = 0; i < 2; ++i) {
        capabilities[i].key = amqp_cstring_bytes(names[i]);
        capabilities[i].value.kind = AMQP_FIELD_KIND_BOOLEAN;
        capabilities[i].value.value.boolean = 1;
    }
    amqp_table_entry_t property;
    property.key = amqp_cstring_bytes("capabilities");
    property.value.kind = AMQP_FIELD_KIND_TABLE;
    property.value.value.table.num_entries = p.blocked_notices ? 2 : 1;
    property.value.value.table.entries = capabilities;
    amqp_table_t properties = {1, &property};
    return amqp_login_with_properties(conn, p.vhost.c_str(), 0, p.frame_max, p.heartbeat,
                                      &properties, AMQP_SASL_METHOD_PLAIN, p.user.c_str(),
                                      p.password.c_str());
}

// "; " and why TLS failed, when the connection is TLS and OpenSSL said why.
std::string TlsReason(const AmqpLogin& p, int status, const AmqpHost& host) {
    const std::string reason = p.tls.on ? AmqpTlsReason(status, host.name) : std::string();
    return reason.empty() ? reason : "; " + reason;
}

// Between a host's open on a thread of its own and the thread that watches it. `fd` is a
// duplicate of the open socket, which the watcher shuts down to end a handshake that waits on
// it and closes when the open is over: the library may close its own descriptor meanwhile,
// and that number may be reused.
struct Cut {
    std::atomic<int> fd{-1};
    std::atomic<bool> stop{false};
};

// Hands the open socket `fd` to `cut`'s watcher, shut already when a stop came first.
void Expose(Cut* cut, int fd) {
    if (!cut) return;
    cut->fd = dup(fd);
    if (cut->stop) shutdown(fd, SHUT_RDWR);
}

// One host of the list: handle, socket (TCP or TLS), bounded connect, login.
AmqpOpenStep OpenOne(amqp_connection_state_t* conn, const AmqpLogin& p, const AmqpHost& host,
                     std::string* detail, Cut* cut = nullptr) {
    const std::string where = host.Text();
    *conn = amqp_new_connection();
    if (!*conn) {
        *detail = "out of memory for a connection";
        return AmqpOpenStep::kNoHandle;
    }
    amqp_socket_t* socket = AmqpNewSocket(*conn, p.tls, detail);
    if (!socket) {
        amqp_destroy_connection(*conn);
        *conn = nullptr;
        // With TLS, a CA, certificate or key that cannot be loaded: no connection is possible.
        if (p.tls.on) *detail = "cannot connect to the broker at " + where + ": " + *detail;
        return p.tls.on ? AmqpOpenStep::kConnect : AmqpOpenStep::kNoSocket;
    }
    struct timeval limit = {p.timeout_s, 0};
    int status = amqp_socket_open_noblock(socket, host.name.c_str(), host.port, &limit);
    if (status != AMQP_STATUS_OK) {
        *detail = "cannot connect to the broker at " + where + ": " + amqp_error_string2(status) +
                  TlsReason(p, status, host);
        return AmqpOpenStep::kConnect;
    }
    Keepalive(socket);
    Expose(cut, amqp_socket_get_sockfd(socket));
    amqp_set_handshake_timeout(*conn, &limit);
    amqp_set_rpc_timeout(*conn, &limit);
    amqp_rpc_reply_t reply = Login(*conn, p);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) return AmqpOpenStep::kOpen;

    const bool refused = reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION;
    *detail = (refused ? "the broker at " + where + " refused the login of user \""
                       : "no AMQP handshake with " + where + " for user \"") +
              p.user + "\" to vhost \"" + p.vhost + "\": " + AmqpReplyText(reply) +
              TlsReason(p, reply.library_error, host);
    // A refused vhost arrives as connection.close: answered, the broker drops the socket at
    // once; unanswered, every later close would wait out the time limit.
    if (AmqpAnswerClose(*conn, reply, 0) == AmqpClosed::kNothing) {
        amqp_connection_close(*conn, AMQP_REPLY_SUCCESS);
    }
    return refused ? AmqpOpenStep::kLogin : AmqpOpenStep::kHandshake;
}

// OpenOne on a thread of its own, keep_going asked every kAskEvery meanwhile. Called off, the
// socket is shut as soon as there is one, which ends a login waiting on it at once.
AmqpOpenStep OpenWatched(amqp_connection_state_t* conn, const AmqpLogin& p, const AmqpHost& host,
                         std::string* detail) {
    Cut cut;
    std::packaged_task<AmqpOpenStep()> task([&] { return OpenOne(conn, p, host, detail, &cut); });
    std::future<AmqpOpenStep> done = task.get_future();
    std::thread opener(std::move(task));
    while (done.wait_for(kAskEvery) != std::future_status::ready) {
        if (!cut.stop && !p.keep_going()) cut.stop = true;
        const int fd = cut.fd;
        if (cut.stop && fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    opener.join();
    if (cut.fd >= 0) close(cut.fd);
    const AmqpOpenStep step = done.get();
    return cut.stop && step != AmqpOpenStep::kOpen ? AmqpOpenStep::kStopped : step;
}

}  // namespace

std::string AmqpHost::Text() const {
    const bool v6 = name.find(':') != std::string::npos;
    return (v6 ? "[" + name + "]" : name) + ":" + std::to_string(port);
}

namespace {

bool AllDigits(const std::string& text, size_t from) {
    return from < text.size() && text.find_first_not_of("0123456789", from) == std::string::npos;
}

// One item of a `server` list, already trimmed and not empty.
AmqpHost ParseHost(const std::string& item, int port) {
    if (item[0] == '[') {
        const size_t close = item.find(']');
        if (close != std::string::npos) {
            const bool withPort =
                item.size() > close + 1 && item[close + 1] == ':' && AllDigits(item, close + 2);
            return {item.substr(1, close - 1), withPort ? atoi(item.c_str() + close + 2) : port};
        }
    }
    const size_t colon = item.rfind(':');
    // More than one colon without brackets: a bare IPv6 address, whose last group is no port.
    if (colon == std::string::npos || item.find(':') != colon || !AllDigits(item, colon + 1)) {
        return {item, port};
    }
    return {item.substr(0, colon), atoi(item.c_str() + colon + 1)};
}

}  // namespace

std::vector<AmqpHost> AmqpHosts(const std::string& server, int port) {
    std::vector<AmqpHost> hosts;
    size_t start = 0;
    for (;;) {
        size_t comma = server.find(',', start);
        std::string item = server.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
        item = b == std::string::npos ? std::string() : item.substr(b, e - b + 1);
        if (!item.empty()) hosts.push_back(ParseHost(item, port));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    // Nothing named: the empty host, which fails to connect like any unknown name.
    if (hosts.empty()) hosts.push_back({std::string(), port});
    return hosts;
}

AmqpOpenStep AmqpOpen(amqp_connection_state_t* conn, const AmqpLogin& p, std::string* detail,
                      std::string* where) {
    const std::vector<AmqpHost> hosts = TryOrder(AmqpHosts(p.server, p.port), p.first_host);
    AmqpOpenStep step = AmqpOpenStep::kConnect;
    detail->clear();
    for (const AmqpHost& host : hosts) {
        if (*conn) amqp_destroy_connection(*conn);  // the last host's failed attempt
        *conn = nullptr;
        if (where) *where = host.Text();
        std::string why;
        const bool ask = static_cast<bool>(p.keep_going);
        step = ask && !p.keep_going() ? AmqpOpenStep::kStopped
               : ask                  ? OpenWatched(conn, p, host, &why)
                                      : OpenOne(conn, p, host, &why);
        if (step == AmqpOpenStep::kStopped) {
            *detail +=
                (detail->empty() ? "" : "; ") + ("the open was called off at " + host.Text());
            break;
        }
        const bool unreachable = step == AmqpOpenStep::kConnect || step == AmqpOpenStep::kHandshake;
        if (hosts.size() > 1) MarkHost(host, unreachable);
        if (step != AmqpOpenStep::kOpen) *detail += (detail->empty() ? "" : "; ") + why;
        // Answered, or refused by a broker (the next would refuse as well), or out of memory.
        if (!unreachable) break;
    }
    return step;
}

std::string AmqpReplyText(const amqp_rpc_reply_t& reply) {
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return "ok";
    case AMQP_RESPONSE_NONE:
        return "no reply from the broker";
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        return amqp_error_string2(reply.library_error);
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        break;
    }
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        auto* m = static_cast<amqp_connection_close_t*>(reply.reply.decoded);
        return "server closed the connection: " + std::to_string(m->reply_code) + " " +
               AmqpText(m->reply_text);
    }
    if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        auto* m = static_cast<amqp_channel_close_t*>(reply.reply.decoded);
        return "server closed the channel: " + std::to_string(m->reply_code) + " " +
               AmqpText(m->reply_text);
    }
    return "unexpected method from the server";
}

AmqpClosed AmqpAnswerClose(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply,
                           amqp_channel_t channel, int* sendStatus) {
    if (reply.reply_type != AMQP_RESPONSE_SERVER_EXCEPTION) return AmqpClosed::kNothing;
    int status = AMQP_STATUS_OK;
    AmqpClosed closed = AmqpClosed::kNothing;
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        amqp_connection_close_ok_t ok;
        status = amqp_send_method(conn, kConnectionChannel, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
        closed = AmqpClosed::kConnection;
    } else if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        amqp_channel_close_ok_t ok;
        status = amqp_send_method(conn, channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
        closed = AmqpClosed::kChannel;
    }
    if (sendStatus) *sendStatus = status;
    return closed;
}

AmqpReplyCheck AmqpCheckReply(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply,
                              amqp_channel_t channel) {
    AmqpReplyCheck check;
    check.type = reply.reply_type;
    if (check.Ok()) return check;
    check.text = AmqpReplyText(reply);
    check.closed = AmqpAnswerClose(conn, reply, channel, &check.sendStatus);
    return check;
}

AmqpReplyCheck AmqpCheckReply(amqp_connection_state_t conn, amqp_channel_t channel) {
    return AmqpCheckReply(conn, amqp_get_rpc_reply(conn), channel);
}

std::string AmqpText(amqp_bytes_t bytes) {
    return std::string(static_cast<const char*>(bytes.bytes), bytes.len);
}

amqp_rpc_reply_t AmqpServerCloseBehind(amqp_connection_state_t conn,
                                       const amqp_rpc_reply_t& reply) {
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

namespace {

// Whether a basic.ack or basic.nack of `channel` answers publish `seq`.
bool Covers(const amqp_frame_t& frame, amqp_channel_t channel, uint64_t seq, uint64_t tag,
            amqp_boolean_t multiple) {
    return frame.channel == channel && (tag == seq || (multiple && tag >= seq));
}

}  // namespace

AmqpConfirm AmqpWaitConfirm(amqp_connection_state_t conn, amqp_channel_t channel, uint64_t seq,
                            struct timeval timeout, amqp_rpc_reply_t* failure) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(timeout.tv_sec) +
                                  std::chrono::microseconds(timeout.tv_usec);
    for (;;) {
        const long long left = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count());
        struct timeval wait = {static_cast<time_t>(left / 1000000),
                               static_cast<suseconds_t>(left % 1000000)};
        amqp_frame_t frame;
        const int status = amqp_simple_wait_frame_noblock(conn, &frame, &wait);
        if (status != AMQP_STATUS_OK) {
            *failure = amqp_rpc_reply_t{AMQP_RESPONSE_LIBRARY_EXCEPTION, {}, status};
            return AmqpConfirm::kFailed;
        }
        if (frame.frame_type != AMQP_FRAME_METHOD) continue;
        const amqp_method_t& m = frame.payload.method;
        if (m.id == AMQP_BASIC_ACK_METHOD) {
            const auto* ack = static_cast<const amqp_basic_ack_t*>(m.decoded);
            if (Covers(frame, channel, seq, ack->delivery_tag, ack->multiple)) {
                return AmqpConfirm::kAcked;
            }
        } else if (m.id == AMQP_BASIC_NACK_METHOD) {
            const auto* nack = static_cast<const amqp_basic_nack_t*>(m.decoded);
            if (Covers(frame, channel, seq, nack->delivery_tag, nack->multiple)) {
                return AmqpConfirm::kNacked;
            }
        } else if (m.id == AMQP_CHANNEL_CLOSE_METHOD || m.id == AMQP_CONNECTION_CLOSE_METHOD) {
            *failure = amqp_rpc_reply_t{AMQP_RESPONSE_SERVER_EXCEPTION, m, 0};
            return AmqpConfirm::kFailed;
        }
    }
}

void AmqpClose(amqp_connection_state_t conn, amqp_channel_t channel, bool channelOpen) {
    if (!conn) return;
    if (channelOpen) amqp_channel_close(conn, channel, AMQP_REPLY_SUCCESS);
    amqp_connection_close(conn, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(conn);
}

void ReleaseEnvelope(amqp_envelope_t* env) {
    if (!env) return;
    amqp_destroy_envelope(env);
    free(env);
}
