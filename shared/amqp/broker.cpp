// Broker settings and logins; see broker.h.
#include "amqp/broker.h"

bool operator==(const BrokerSettings& a, const BrokerSettings& b) {
    return a.server == b.server && a.userName == b.userName && a.pwd == b.pwd &&
           a.vhost == b.vhost && a.port == b.port && a.frame_max == b.frame_max;
}

AmqpLogin BrokerLogin(const BrokerSettings& broker, int timeoutS, int heartbeat,
                      unsigned firstHost) {
    AmqpLogin login;
    login.server = broker.server;
    login.port = broker.port;
    login.vhost = broker.vhost;
    login.user = broker.userName;
    login.password = broker.pwd;
    login.frame_max = broker.frame_max;
    login.heartbeat = heartbeat;
    login.timeout_s = timeoutS;
    login.first_host = firstHost;
    return login;
}
