// The metrics endpoint (metrics_listen): /metrics in Prometheus's text format and /healthz,
// served by libmicrohttpd on a thread of its own from the service's counters (client/stats),
// so a scrape never waits on, nor holds up, a reply.
#ifndef TOLVANE_CLIENT_METRICS_H
#define TOLVANE_CLIENT_METRICS_H

#include <string>

struct MHD_Daemon;

class MetricsServer {
public:
    MetricsServer() = default;
    ~MetricsServer() { Stop(); }
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Serves on `listen` ("HOST:PORT", see SplitListen); false, with why in *error, when the
    // text is not of that form or the address cannot be bound.
    bool Start(const std::string& listen, std::string* error);
    // Ends the serving thread and closes the socket; nothing when not started.
    void Stop();

private:
    MHD_Daemon* _daemon = nullptr;
};

// /metrics as it reads now.
std::string MetricsText();

#endif
