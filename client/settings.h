// The service's settings: every key of cfg/mq.conf with its default, in one struct, and the
// one reader that fills it. A key that is absent or empty keeps its default; numbers are
// read with atoi, so "12ab" is 12 and "ab" is 0.
#ifndef TOLVANE_SETTINGS_H
#define TOLVANE_SETTINGS_H

#include <string>

// Where the broker is and how to log in; the consumer and every reply read these.
struct BrokerSettings {
    std::string server = "127.0.0.1";
    std::string userName = "guest";
    std::string pwd = "quilb";
    std::string vhost = "/";
    int port = 5672;
    int frame_max = 131072;
};

struct Settings {
    BrokerSettings broker;
    std::string queue;                      // the queue consumed
    std::string lookup_host = "127.0.0.1";  // "host" or "host:port" of the queue-name endpoint
};

// Reads the settings file `file`; a missing or unreadable file gives the defaults.
Settings ReadSettings(const std::string& file);

#endif
