// /metrics and /healthz through libmicrohttpd. The listening socket is bound here, so that a
// failure comes back with its reason; the library's one polling thread answers every request
// from the atomic counters and the pool's counts.
#include "client/metrics.h"

#include <errno.h>
#include <microhttpd.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "core/settings.h"
#include "core/stats.h"
#include "client/threadpool.h"

namespace {

const unsigned kConnectionLimit = 16;
const unsigned kConnectionTimeoutS = 10;  // a client that stalls is dropped

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
};

void Head(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const char* name, double value) {
    char line[200];
    snprintf(line, sizeof line, "%s %.17g\n", name, value);
    out += line;
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
    const char name[] = "tolvane_call_duration_seconds";
    Head(out, name, "histogram", "Plug-in calls by comtype, from the call to its return.");
    const std::vector<double>& bounds = CallBuckets();
    char line[300];
    for (const CallSeries& s : CallSeriesNow()) {
        const std::string label = "comtype=\"" + LabelValue(s.comtype) + "\"";
        unsigned long cumulative = 0;
        for (size_t i = 0; i < s.buckets.size(); ++i) {
            cumulative += s.buckets[i];
            char le[32] = "+Inf";
            if (i < bounds.size()) snprintf(le, sizeof le, "%g", bounds[i]);
            snprintf(line, sizeof line, "%s_bucket{%s,le=\"%s\"} %lu\n", name, label.c_str(), le,
                     cumulative);
            out += line;
        }
        snprintf(line, sizeof line, "%s_sum{%s} %.9f\n%s_count{%s} %lu\n", name, label.c_str(),
                 s.sumSeconds, name, label.c_str(), s.count);
        out += line;
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
    _daemon = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Answer, nullptr,
                               MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
                               kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS,
                               MHD_OPTION_END);
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
        Sample(out, c.name, static_cast<double>((stats.*c.field).load()));
    }
    int waiting = 0, running = 0;
    tpool_counts(&waiting, &running);
    Head(out, "tolvane_jobs_waiting", "gauge", "Requests held, waiting for a worker.");
    Sample(out, "tolvane_jobs_waiting", waiting);
    Head(out, "tolvane_jobs_running", "gauge", "Requests a worker is running.");
    Sample(out, "tolvane_jobs_running", running);
    Head(out, "tolvane_consumer_connected", "gauge", "1 while the consumer is consuming.");
    Sample(out, "tolvane_consumer_connected", stats.consuming ? 1 : 0);
    Histogram(out);
    Head(out, "tolvane_build_info", "gauge", "The running version.");
    out += "tolvane_build_info{version=\"" TOLVANE_VERSION "\"} 1\n";
    return out;
}
