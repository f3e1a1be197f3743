// W3C Trace Context as AMQP instrumentations carry it in a message's headers: the caller's
// `traceparent` / `tracestate`, and the ids of the daemon's own spans in that trace.
#ifndef TOLVANE_CLIENT_TRACE_H
#define TOLVANE_CLIENT_TRACE_H

#include <map>
#include <string>

// A trace position: 32 and 16 lowercase hex digits and the flags byte.
struct TraceParent {
    std::string trace_id;
    std::string span_id;
    unsigned flags = 0;
};

// A `traceparent` value of version 00 (or a later version's first four fields); false, and
// `out` untouched, for anything else: a malformed value is ignored, never an error.
bool ParseTraceParent(const std::string& text, TraceParent* out);
// "00-<trace>-<span>-<flags>".
std::string FormatTraceParent(const TraceParent& p);
// Fresh random ids, never all zero.
std::string NewTraceId();
std::string NewSpanId();

// A request's place in a trace: the caller's context when it sent a valid one (`parent` set,
// `state` its tracestate), else a new trace; and the ids of the daemon's spans for it.
struct RequestTrace {
    bool from_caller = false;
    TraceParent parent;  // when from_caller: the span the caller's instrumentation injected
    // The caller's tracestate as it is passed on: its valid members, at most 32 of 512 bytes
    // in all (members over 128 bytes dropped first, then from the end).
    std::string state;
    std::string trace_id;
    std::string process_span_id;  // the daemon's span for the request
    std::string send_span_id;     // the daemon's span for its reply, which the reply names
};

// From a request's text headers.
RequestTrace TraceOf(const std::map<std::string, std::string>& headers);

#endif
