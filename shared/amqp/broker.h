// Where the broker is and how to log in: the service's broker settings, the login that
// AmqpOpen takes, and the one function that turns the first into the second. Pulls in no
// AMQP library header, so that the service's settings can include it.
#ifndef TOLVANE_AMQP_BROKER_H
#define TOLVANE_AMQP_BROKER_H

#include <functional>
#include <string>

// TLS to the broker. With `on`, the broker's certificate is checked against `ca_file` (empty:
// the system's CA store) and must name the host as the `server` item gives it, unless
// `verify` is off; `cert_file` and `key_file` (PEM) are the client certificate, when the
// broker asks for one.
struct BrokerTls {
    bool on = false;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    bool verify = true;
};

bool operator==(const BrokerTls& a, const BrokerTls& b);

// Where the broker is and how to log in; the consumer and every reply read these.
struct BrokerSettings {
    std::string server = "127.0.0.1";
    std::string userName = "guest";
    std::string pwd = "quilb";
    std::string vhost = "/";
    int port = 5672;
    int frame_max = 131072;
    BrokerTls tls;
};

bool operator==(const BrokerSettings& a, const BrokerSettings& b);

// Where and how to log in. timeout_s bounds the TCP connect, the login handshake and every
// later RPC on the connection; the library gives up and closes the socket past it.
struct AmqpLogin {
    std::string server;
    int port = 5672;
    std::string vhost = "/";
    std::string user;
    std::string password;
    int frame_max = 131072;
    int heartbeat = 0;
    int timeout_s = 10;
    unsigned first_host = 0;  // where in a list of hosts to start
    BrokerTls tls;
    // Announces the capability "connection.blocked": the broker then says when a resource
    // alarm holds this connection's publishes, and when it lets go. Only for connections that
    // read those frames (a publisher's confirm reader); others would take them for a fault.
    bool blocked_notices = false;
    // When set, asked on the opening thread before each host and every quarter second while
    // one host's open waits (that open then runs on a thread of its own); false calls the
    // open off (kStopped). A daemon pings its watchdog and looks for a stop here, so that a
    // walk over silent hosts neither starves the one nor holds up the other.
    std::function<bool()> keep_going;
};

// The login to `broker`: every step bounded by `timeout_s`, `heartbeat` seconds asked for
// (0: none), the host list walked from `firstHost`.
AmqpLogin BrokerLogin(const BrokerSettings& broker, int timeoutS, int heartbeat = 0,
                      unsigned firstHost = 0);

// A password kept in a file of its own: its first line without the line end, so that it may
// hold any character. False with `error` (the system's reason) when the file cannot be read.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error);

#endif
