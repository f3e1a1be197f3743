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

}  // namespace

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
    return s;
}
