// A request's spans in its trace: `process <queue>` (CONSUMER, the caller's span as parent),
// a `call <comtype> <nfunc>` span per record run and `send <exchange>` (PRODUCER) for its
// reply, with OpenTelemetry's messaging attributes; handed to the exporter at once when the
// reply's fate is known.
#ifndef TOLVANE_CLIENT_REQUEST_SPANS_H
#define TOLVANE_CLIENT_REQUEST_SPANS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/otlp.h"
#include "client/reply.h"
#include "client/request.h"
#include "core/records.h"
#include "core/settings.h"

// Used by the worker that runs the request, then by the thread its reply's fate is told on;
// one at a time, in that order.
class RequestSpans {
public:
    // The process span begins now.
    RequestSpans(const Settings& s, const Request& r);
    // For RecordWatch::ran: one span per record run. The object must outlive the run.
    std::function<void(const RecordRun&)> Recorder();
    // The reply is handed over now: its send span begins.
    void Replying();
    // The reply went as `sending` says: ends the send and process spans and exports them all.
    void Done(const Reply& reply, const Sending& sending);

private:
    void Record(const RecordRun& run);
    Span Child(const std::string& name, SpanKind kind) const;

    Span _process;
    std::vector<Span> _records;
    std::chrono::system_clock::time_point _sendStart;
    std::string _sendSpanId;
    std::string _guid;
    std::vector<SpanAttribute> _peer;  // the broker's host and port
};

// The spans of `r`, or null when none are exported: no otlp_endpoint, or a caller's trace
// that is not sampled. One atomic load when export is off.
std::shared_ptr<RequestSpans> RequestSpansFor(const Settings& s, const Request& r);

#endif
