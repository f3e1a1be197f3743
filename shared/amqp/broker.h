// Where the broker is and how to log in, as the service's settings name it; the daemon, the
// request client and the benchmark all talk to the broker through these.
#ifndef TOLVANE_AMQP_BROKER_H
#define TOLVANE_AMQP_BROKER_H

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

inline bool operator==(const BrokerSettings& a, const BrokerSettings& b) {
    return a.server == b.server && a.userName == b.userName && a.pwd == b.pwd &&
           a.vhost == b.vhost && a.port == b.port && a.frame_max == b.frame_max;
}

#endif
