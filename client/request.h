// One delivered request, read once from its envelope: the head's fields, the body, the key
// that tells a copy of it from another request, where its reply goes and the AMQP properties
// later features read. The job, the redelivery records, the reply and the log read this;
// nothing else decodes the head.
#ifndef TOLVANE_CLIENT_REQUEST_H
#define TOLVANE_CLIENT_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <string_view>

#include "amqp/rabbit.h"
#include "client/trace.h"
#include "defines.h"

struct Request {
    const char* body = nullptr;  // the envelope's: valid while its owner keeps the envelope
    size_t length = 0;
    // As far as the body goes: the fields of a body shorter than a head are cut or empty.
    T_MSG_HEAD head{};
    bool framed = false;  // the length is 108 + 4064 x count
    // A body with a whole head: the hash of the whole body, never 0, so that two requests that
    // share a guid are told apart; 0 without a head (nothing to tell copies by).
    uint64_t key = 0;
    bool redelivered = false;      // the broker's flag
    std::string_view routing_key;  // the delivery's, in the envelope as `body` is
    // From the properties: a reply_to queue and its correlation_id (empty: none), and the
    // headers whose values are texts.
    bool has_reply_to = false;
    std::string reply_to;
    std::string correlation_id;
    std::map<std::string, std::string> headers;
    RequestTrace trace;  // from the traceparent / tracestate headers, or a trace of its own
    // The `deadline` header: milliseconds since the epoch after which the caller no longer
    // waits; 0: none (absent, or not a positive number).
    int64_t deadline_ms = 0;

    const char* Guid() const { return head.guid; }
    const char* Platform() const { return head.platform; }
};

// Reads `env`, which the caller keeps for as long as it uses the result.
Request ParseRequest(const amqp_envelope_t& env);

#endif
