// Broker connections shared by the daemon's broker classes, the request client, the benchmark
// and the tests' AMQP peer: a bounded connection open and login over a list of hosts, one
// check of RPC replies that keeps the broker's reply code and text and answers its closes,
// and envelope release.
#ifndef TOLVANE_AMQP_CONNECTION_H
#define TOLVANE_AMQP_CONNECTION_H

#include <stdint.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "amqp/broker.h"
#include "amqp/rabbit.h"

struct AmqpHost {
    std::string name;
    int port;
    // "name:port", with an IPv6 address in brackets.
    std::string Text() const;
};

// `server` as a list: "host" or comma-separated "host" / "host:port" items, where a host
// without a port takes `port`. An IPv6 address stands bare ("::1", taking `port`) or in
// brackets ("[::1]", "[::1]:5672"). A single host is a list of one.
std::vector<AmqpHost> AmqpHosts(const std::string& server, int port);

// The step at which AmqpOpen stopped: kHandshake is a login that broke or timed out without
// an answer from a broker, kLogin one that a broker refused, kStopped an open that the login's
// keep_going called off.
enum class AmqpOpenStep { kOpen, kNoHandle, kNoSocket, kConnect, kHandshake, kLogin, kStopped };

// Opens a new connection into *conn, which must be null on entry. With several hosts it tries
// them in turn from `first_host` until one answers; `detail` names each that did not, even
// when a later one did (and is empty when the first one tried answered). A host that cannot be
// reached, or that accepts TCP but fails the handshake (a frozen node, a balancer in front of
// a dead one), sends the walk to the next; a broker that refuses the login or the vhost ends
// it, since the next would refuse as well. A host that failed lately is tried after the
// others, so that callers rotating their first host do not wait on it one call in N. *where
// gets the host that answered, or the last one tried.
// On kNoHandle and kNoSocket *conn is null again (a handle without a socket cannot even be
// closed: the library asserts); otherwise it holds a handle whose socket is closed or
// answered, which the owner destroys with AmqpClose. `detail` tells why, with the broker's
// reply code and text when the broker gave them (a refused vhost, say).
// With keep_going, a stop is noticed between hosts and within a quarter second during a
// host's AMQP handshake; a name lookup, a TCP connect or a TLS handshake under way has no
// socket yet that could be shut, and runs out within its own limit (timeout_s for the
// connect and TLS, the resolver's for the lookup) while keep_going is still asked.
AmqpOpenStep AmqpOpen(amqp_connection_state_t* conn, const AmqpLogin& login, std::string* detail,
                      std::string* where = nullptr);

// The text of a failed reply: the library's text, or the broker's reply code and text.
std::string AmqpReplyText(const amqp_rpc_reply_t& reply);

enum class AmqpClosed { kNothing, kChannel, kConnection };

// When `reply` carries a server close, answers it with its close-ok (connection on channel 0,
// channel on `channel`) and says what was closed. *sendStatus gets the send's status.
AmqpClosed AmqpAnswerClose(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply,
                           amqp_channel_t channel, int* sendStatus = nullptr);

// What the reply to an RPC came to. Each caller words its own failure from these.
struct AmqpReplyCheck {
    amqp_response_type_enum type = AMQP_RESPONSE_NORMAL;
    std::string text;                          // not ok: AmqpReplyText of the reply
    AmqpClosed closed = AmqpClosed::kNothing;  // what the broker closed
    int sendStatus = AMQP_STATUS_OK;           // of the close-ok that answered it
    bool Ok() const { return type == AMQP_RESPONSE_NORMAL; }
};

// Checks `reply` of an RPC on `channel`. A server close is answered with its close-ok, so
// that the broker lets go of the channel or connection at once; unanswered, a later close
// would wait out its time limit.
AmqpReplyCheck AmqpCheckReply(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply,
                              amqp_channel_t channel);
// The same for the RPC just made on `conn` (amqp_get_rpc_reply).
AmqpReplyCheck AmqpCheckReply(amqp_connection_state_t conn, amqp_channel_t channel);

// The bytes as a string (they need not end with a NUL).
std::string AmqpText(amqp_bytes_t bytes);

// amqp_consume_message reports a method other than basic.deliver as
// AMQP_STATUS_UNEXPECTED_STATE and leaves its frame queued. Takes that frame: a server close
// comes back as the server exception it is; anything else is dropped and `reply` returned.
amqp_rpc_reply_t AmqpServerCloseBehind(amqp_connection_state_t conn, const amqp_rpc_reply_t& reply);

// How the broker answered a publish on a channel in confirm mode (confirm.select).
enum class AmqpConfirm { kAcked, kNacked, kFailed };

// Waits up to `timeout` for the broker's answer to publish number `seq` (counted from 1 since
// confirm.select) on `channel`, the connection's only channel. kFailed: *failure gets the
// broker's close (a server exception, not yet answered) or the library's failure (a time-out,
// a broken connection). Frames of no interest are dropped.
AmqpConfirm AmqpWaitConfirm(amqp_connection_state_t conn, amqp_channel_t channel, uint64_t seq,
                            struct timeval timeout, amqp_rpc_reply_t* failure);

// Closes `channel` (when open) and the connection with reply code 200, then destroys the
// handle. Makes no library call for a null handle; results are not examined.
void AmqpClose(amqp_connection_state_t conn, amqp_channel_t channel, bool channelOpen);

// Releases an envelope from amqp_consume_message that lives in malloc'ed storage: its
// contents, then the storage. Null is ignored.
void ReleaseEnvelope(amqp_envelope_t* env);

#endif
