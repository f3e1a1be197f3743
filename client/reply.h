// The reply to one request: where it goes, and its publish on a connection of its own or on
// the worker's. Settings come in with every call; nothing here reads them.
#ifndef TOLVANE_CLIENT_REPLY_H
#define TOLVANE_CLIENT_REPLY_H

#include <string>

#include "amqp/rabbit.h"
#include "core/settings.h"
#include "defines.h"

// One reply: the RESULT record and where it goes.
struct Reply {
    const char* exchange;
    std::string key;
    T_RESULT* result;            // the caller's, kept until the reply is sent or given up
    std::string correlation_id;  // empty: none
};

// How one reply went.
struct Sending {
    bool sent = false;
    bool refused = false;  // the broker said no, and would again
    std::string why;       // when not sent: the publisher's detail
};

// Where `result` goes: to the exchange `platform` with `platform` as routing key, or, when the
// request names a reply_to queue and `s` honours it, to that queue through the default
// exchange with the request's correlation_id.
Reply AddressOf(const Settings& s, const amqp_basic_properties_t& props, const char* platform,
                T_RESULT* result);

// Publishes `reply` over `s`'s broker, on a connection of its own or (reply_connection
// per_worker) on the calling worker's, and counts it as sent or failed. Logs the hosts that
// failed when the server lists several; the failure itself is the caller's to log.
Sending SendResult(const Settings& s, const Reply& reply);

// Logs the line that follows "send result faild": where the reply went and why it did not
// arrive.
void LogSendFailure(const Settings& s, const Reply& reply, const Sending& sending);

#endif
