// The reply seam: a worker hands a reply over and learns, once, how it went (sent, refused by
// the broker, lost with its connection). Behind it, one way of sending per reply_connection:
// today per_reply (a connection of its own) and per_worker (the worker's warm connection),
// each with tx or confirm. Settings come in with every call; nothing here reads them.
#ifndef TOLVANE_CLIENT_REPLY_H
#define TOLVANE_CLIENT_REPLY_H

#include <functional>
#include <string>

#include "amqp/rabbit.h"
#include "amqp/wire.h"
#include "client/request.h"
#include "core/settings.h"
#include "defines.h"

// One reply: the RESULT record and where it goes. It owns all it carries, so that a way of
// sending may keep it past the hand-over.
struct Reply {
    std::string exchange;
    std::string key;
    T_RESULT result;
    ReplyExtras extras;  // correlation_id, expiration, headers: none by default
};

// How one reply went.
struct Sending {
    bool sent = false;
    bool refused = false;  // the broker said no, and would again
    std::string why;       // when not sent: the publisher's detail
};

// Where `result` goes: to the exchange named by the request's platform, with that text as
// routing key, or, when the request names a reply_to queue and `s` honours it, to that queue
// through the default exchange with the request's correlation_id. A request that came with a
// valid traceparent gets it back in the reply's headers, naming the span that sent the reply,
// with its tracestate; under honour_deadlines, one with a deadline gets the time left as the
// reply's expiration.
Reply AddressOf(const Settings& s, const Request& r, const T_RESULT& result);

// Told how a reply went, once. A way that waits for the broker tells it on the handing
// thread before HandOver returns; one that does not, later, from the thread that learns it.
using ReplyDone = std::function<void(const Reply& reply, const Sending& sending)>;

// Hands `reply` to the way `s` names, which publishes it over `s`'s broker and counts it as
// sent or failed. Logs the hosts that failed when the server lists several; the failure
// itself is `done`'s to log.
void HandOver(const Settings& s, Reply reply, const ReplyDone& done);

// Logs the line that follows "send result faild": where the reply went and why it did not
// arrive.
void LogSendFailure(const Settings& s, const Reply& reply, const Sending& sending);

#endif
