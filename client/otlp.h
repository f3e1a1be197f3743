// Spans to an OpenTelemetry collector over OTLP/HTTP with the JSON encoding. Workers hand
// spans to a bounded queue under a brief lock; one thread of the exporter's own posts them in
// batches. A full queue, or a batch the collector refuses or does not take in time, is
// dropped and counted (Stats().spans_dropped): nothing on the reply path waits on the
// collector.
#ifndef TOLVANE_CLIENT_OTLP_H
#define TOLVANE_CLIENT_OTLP_H

#include <chrono>
#include <string>
#include <vector>

#include "core/settings.h"

// OTLP's SpanKind, whose numbers the JSON encoding carries.
enum class SpanKind { kInternal = 1, kServer = 2, kClient = 3, kProducer = 4, kConsumer = 5 };

// An attribute of one of OTLP's three kinds the daemon uses.
struct SpanAttribute {
    enum Kind { kText, kFlag, kInteger };
    const char* key = "";  // a name the code spells: never copied
    Kind kind = kText;
    std::string text;
    bool flag = false;
    long long integer = 0;
};

SpanAttribute TextAttribute(const char* key, const std::string& value);
SpanAttribute FlagAttribute(const char* key, bool value);
SpanAttribute IntegerAttribute(const char* key, long long value);

// One finished span; ids in lowercase hex (32 and 16 digits), an empty parent for a root.
struct Span {
    std::string trace_id;
    std::string span_id;
    std::string parent_span_id;
    std::string trace_state;
    std::string name;
    SpanKind kind = SpanKind::kInternal;
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::vector<SpanAttribute> attributes;
    bool error = false;  // status ERROR with `status_message`; otherwise status unset
    std::string status_message;
};

// Main thread, at service start: when `s` names an otlp_endpoint, starts the exporter (and
// its thread) for the service's run and logs where spans go; logs why not when it cannot.
// Does nothing without an endpoint.
void StartSpanExport(const Settings& s);
// Whether spans are exported: a worker builds none otherwise. Any thread; one atomic load.
bool SpanExportOn();
// Hands `spans` (moved from) over to the exporter, or counts them dropped when its queue has
// no room for them all or it has stopped. Any thread; never waits on the collector.
void ExportSpans(std::vector<Span>& spans);
// Main thread, within the stop: posts what is queued for at most `flush`, drops the rest,
// and ends the exporter's thread. Spans handed over later are counted dropped.
void StopSpanExport(std::chrono::milliseconds flush);

#endif
