// /metrics and /healthz through libmicrohttpd. The listening socket is bound here, so that a
// failure comes back with its reason; the library's polling thread (epoll on Linux, so no
// FD_SETSIZE ceiling) answers every request from the atomic counters and the pool's counts.
#include "client/metrics.h"

#include <errno.h>
#include <microhttpd.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "core/settings.h"
#include "core/stats.h"
#include "client/threadpool.h"

namespace {

// Idle keep-alive connections, scanners and stalled clients must not crowd out a liveness
// probe: room for a few hundred at once, each dropped after a short silence, and no one
// address may hold more than a quarter of the room.
const unsigned kMaxConnections = 512;
const unsigned kConnectionTimeoutS = 5;
// The endpoint's share of the process's descriptors: the broker connections, worker pipes
// and plug-ins need the rest.
const rlim_t kDescriptorShare = 4;

struct Limits {
    unsigned connections;
    unsigned perAddress;
};

Limits ConnectionLimits() {
    rlimit files = {};
    rlim_t room = kMaxConnections;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        room = std::min(room, files.rlim_cur / kDescriptorShare);
    }
    const unsigned connections = std::max<unsigned>(static_cast<unsigned>(room), 4);
    return {connections, connections / 4};
}

struct Counter {
    const char* name;
    const char* help;
    std::atomic<unsigned long> ServiceStats::*field;
};

// The service's counters on /metrics: a counter of ServiceStats is one more row.
const Counter kCounters[] = {
    {"tolvane_requests_received_total", "Requests taken from the queue and handed to the workers.",
     &ServiceStats::received},
    {"tolvane_replies_sent_total", "Replies the broker committed.", &ServiceStats::replies_sent},
    {"tolvane_reply_failures_total", "Replies that could not be sent.",
     &ServiceStats::replies_failed},
    {"tolvane_plugin_failures_total", "Call records that ended in a failure text.",
     &ServiceStats::plugin_failures},
    {"tolvane_broker_reconnects_total", "Consumer connections rebuilt.", &ServiceStats::reconnects},
    {"tolvane_worker_restarts_total", "Plug-in worker processes replaced.",
     &ServiceStats::worker_restarts},
    {"tolvane_call_timeouts_total", "Plug-in calls that ran past call_timeout.",
     &ServiceStats::call_timeouts},
    {"tolvane_requests_expired_total", "Requests taken past their deadline, not run.",
     &ServiceStats::expired},
    {"tolvane_spans_dropped_total",
     "Spans the OTLP collector did not get: the export queue full, the collector failing or slow.",
     &ServiceStats::spans_dropped},
};

void Head(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One number as the text format writes it; `format` takes one double.
std::string Number(const char* format, double value) {
    char text[64];  // %g or %.9f of any figure the counters reach
    snprintf(text, sizeof text, format, value);
    return text;
}

// "NAME{LABELS} VALUE\n"; the braces only with labels. Built in a string: a label value
// (a comtype) has no length bound, and a cut line fails the whole scrape.
void Sample(std::string& out, const std::string& name, const std::string& labels,
            const std::string& value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += " " + value + "\n";
}

// A label value as the text format wants it: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

void Histogram(std::string& out) {
    const std::string name = "tolvane_call_duration_seconds";
    Head(out, name.c_str(), "histogram", "Plug-in calls by comtype, from the call to its return.");
    const std::vector<double>& bounds = CallBuckets();
    for (const CallSeries& s : CallSeriesNow()) {
        const std::string label = "comtype=\"" + LabelValue(s.comtype) + "\"";
        unsigned long cumulative = 0;
        for (size_t i = 0; i < s.buckets.size(); ++i) {
            cumulative += s.buckets[i];
            std::string labels = label;
            labels += ",le=\"" + (i < bounds.size() ? Number("%g", bounds[i]) : "+Inf") + "\"";
            Sample(out, name + "_bucket", labels, std::to_string(cumulative));
        }
        Sample(out, name + "_sum", label, Number("%.9f", s.sumSeconds));
        Sample(out, name + "_count", label, std::to_string(s.count));
    }
}

MHD_Result Respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Answer(void* /*cls*/, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/,
                  void** /*state*/) {
    const char text[] = "text/plain; charset=utf-8";
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        return Respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET or HEAD only\n", text);
    }
    if (strcmp(url, "/metrics") == 0) {
        return Respond(connection, MHD_HTTP_OK, MetricsText(), "text/plain; version=0.0.4");
    }
    if (strcmp(url, "/healthz") == 0) {
        const bool up = Stats().consuming;
        return Respond(connection, up ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                       up ? "consuming\n" : "not consuming\n", text);
    }
    return Respond(connection, MHD_HTTP_NOT_FOUND, "/metrics or /healthz\n", text);
}

// A listening socket on host:port; -1 with why in *error.
int Listen(const std::string& host, int port, std::string* error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                                &hints, &found);
    if (gai != 0) {
        *error = gai_strerror(gai);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
        *error = strerror(errno);
        if (fd >= 0) close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace

bool MetricsServer::Start(const std::string& listen, std::string* error) {
    std::string host;
    int port = 0;
    if (!SplitListen(listen, &host, &port)) {
        *error = "not HOST:PORT with a port of 1 to 65535";
        return false;
    }
    const int fd = Listen(host, port, error);
    if (fd < 0) return false;
    const Limits limits = ConnectionLimits();
    _daemon =
        MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Answer, nullptr,
                         MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
                         limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perAddress,
                         MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, MHD_OPTION_END);
    if (!_daemon) {
        close(fd);
        *error = "the HTTP server did not start";
        return false;
    }
    return true;
}

void MetricsServer::Stop() {
    if (_daemon) MHD_stop_daemon(_daemon);  // closes the listening socket too
    _daemon = nullptr;
}

std::string MetricsText() {
    std::string out;
    const ServiceStats& stats = Stats();
    for (const Counter& c : kCounters) {
        Head(out, c.name, "counter", c.help);
        Sample(out, c.name, "", std::to_string((stats.*c.field).load()));
    }
    int waiting = 0, running = 0;
    tpool_counts(&waiting, &running);
    Head(out, "tolvane_jobs_waiting", "gauge", "Requests held, waiting for a worker.");
    Sample(out, "tolvane_jobs_waiting", "", std::to_string(waiting));
    Head(out, "tolvane_jobs_running", "gauge", "Requests a worker is running.");
    Sample(out, "tolvane_jobs_running", "", std::to_string(running));
    Head(out, "tolvane_consumer_connected", "gauge", "1 while the consumer is consuming.");
    Sample(out, "tolvane_consumer_connected", "", stats.consuming ? "1" : "0");
    Head(out, "tolvane_reply_connection_blocked", "gauge",
         "1 while the broker blocks the pipelined reply connection (connection.blocked).");
    Sample(out, "tolvane_reply_connection_blocked", "", stats.reply_blocked ? "1" : "0");
    Histogram(out);
    Head(out, "tolvane_build_info", "gauge", "The running version.");
    out += "tolvane_build_info{version=\"" TOLVANE_VERSION "\"} 1\n";
    return out;
}
