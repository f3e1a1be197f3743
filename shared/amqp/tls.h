// The socket of one broker connection: plain TCP, or TLS on OpenSSL with the broker's
// certificate and host name checked; and, when a TLS open fails, why in OpenSSL's words.
#ifndef TOLVANE_AMQP_TLS_H
#define TOLVANE_AMQP_TLS_H

#include <string>

#include "amqp/broker.h"
#include "amqp/rabbit.h"

// A socket on `conn` (owned by it) as `tls` asks. Null with `detail` when it cannot be made
// or a CA, certificate or key file cannot be loaded. Forgets this thread's last TLS reason.
amqp_socket_t* AmqpNewSocket(amqp_connection_state_t conn, const BrokerTls& tls,
                             std::string* detail);

// Why the TLS connection to `host` failed at `status` (the open's or the login's), as far as
// OpenSSL told this thread since AmqpNewSocket: the certificate check's result, the names the
// certificate holds, the handshake's error. Empty when it told nothing.
std::string AmqpTlsReason(int status, const std::string& host);

#endif
