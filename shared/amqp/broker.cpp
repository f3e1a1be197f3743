// Broker settings and logins; see broker.h.
#include "amqp/broker.h"

#include <errno.h>
#include <string.h>

#include <fstream>

bool operator==(const BrokerTls& a, const BrokerTls& b) {
    return a.on == b.on && a.ca_file == b.ca_file && a.cert_file == b.cert_file &&
           a.key_file == b.key_file && a.verify == b.verify;
}

bool operator==(const BrokerSettings& a, const BrokerSettings& b) {
    return a.server == b.server && a.userName == b.userName && a.pwd == b.pwd &&
           a.vhost == b.vhost && a.port == b.port && a.frame_max == b.frame_max && a.tls == b.tls;
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
    login.tls = broker.tls;
    return login;
}

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || (!std::getline(in, line) && in.bad())) {
        *error = strerror(errno);
        return false;
    }
    // A file written on Windows ends its lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *password = line;
    return true;
}
