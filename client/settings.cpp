// The one reader of the service's settings file.
#include "client/settings.h"

#include <stdlib.h>

#include "tarrin/config.h"

namespace {

void Read(Config& config, const char* key, std::string& value) {
    value = config.GetValue(key, value);
}

void Read(Config& config, const char* key, int& value) {
    value = atoi(config.GetValue(key, std::to_string(value)).c_str());
}

// A two-way key: `value` is true exactly when the text is `on` (default as it stands).
void Read(Config& config, const char* key, const char* on, const char* off, bool& value) {
    value = config.GetValue(key, value ? on : off) == on;
}

}  // namespace

bool operator==(const BrokerSettings& a, const BrokerSettings& b) {
    return a.server == b.server && a.userName == b.userName && a.pwd == b.pwd &&
           a.vhost == b.vhost && a.port == b.port && a.frame_max == b.frame_max;
}

Settings ReadSettings(const std::string& file) {
    Config config;
    config.LoadConfigFile(file);
    Settings s;
    Read(config, "server", s.broker.server);
    Read(config, "queue", s.queue);
    Read(config, "userName", s.broker.userName);
    Read(config, "pwd", s.broker.pwd);
    Read(config, "vhost", s.broker.vhost);
    Read(config, "port", s.broker.port);
    Read(config, "frame_max", s.broker.frame_max);
    Read(config, "lookup_host", s.lookup_host);
    Read(config, "workers", s.workers);
    Read(config, "intake_limit", s.intake_limit);
    Read(config, "ack_mode", "after_reply", "on_take", s.ack_after_reply);
    Read(config, "reply_connection", "per_worker", "per_reply", s.reply_per_worker);
    Read(config, "plugin_cache", "yes", "no", s.plugin_cache);
    Read(config, "stop_timeout", s.stop_timeout);
    Read(config, "heartbeat", s.heartbeat);
    Read(config, "reconnect_pause", s.reconnect_pause);
    Read(config, "stats_interval", s.stats_interval);
    Read(config, "log_params", "yes", "no", s.log_params);
    Read(config, "reply_to", "honour", "ignore", s.reply_to);
    // Out-of-range numbers fall back to what works: a pool of at least one, no negative bounds.
    if (s.workers < 1) s.workers = Settings().workers;
    if (s.intake_limit < 0) s.intake_limit = 0;
    if (s.stop_timeout < 0) s.stop_timeout = 0;
    return s;
}
