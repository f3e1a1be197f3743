#include "client/request_spans.h"

#include <string.h>

#include "amqp/connection.h"

namespace {

// How much of a failed record's output its span carries: what a reply would show of it.
const size_t kShownOutput = sizeof(RESULT::strResult) - 1;

// The name RabbitMQ gives the exchange "" of direct publishes.
std::string ExchangeName(const std::string& exchange) {
    return exchange.empty() ? "amq.default" : exchange;
}

// The messaging attributes a process and a send span share.
std::vector<SpanAttribute> Messaging(const char* operation, const std::string& destination,
                                     const std::string& routingKey, const std::string& guid) {
    return {TextAttribute("messaging.system", "rabbitmq"),
            TextAttribute("messaging.operation.name", operation),
            TextAttribute("messaging.operation.type", operation),
            TextAttribute("messaging.destination.name", destination),
            TextAttribute("messaging.rabbitmq.destination.routing_key", routingKey),
            TextAttribute("messaging.message.conversation_id", guid)};
}

// The broker's address as span attributes: the first host of a list (which of them a
// connection reached is not told here), worked out again only when the setting changes.
const std::vector<SpanAttribute>& PeerOf(const BrokerSettings& b) {
    thread_local std::string server;
    thread_local int port = -1;
    thread_local std::vector<SpanAttribute> peer;
    if (b.server == server && b.port == port) return peer;
    server = b.server;
    port = b.port;
    peer.clear();
    const std::vector<AmqpHost> hosts = AmqpHosts(b.server, b.port);
    if (!hosts.empty()) {
        peer = {TextAttribute("network.peer.address", hosts.front().name),
                IntegerAttribute("network.peer.port", hosts.front().port)};
    }
    return peer;
}

}  // namespace

RequestSpans::RequestSpans(const Settings& s, const Request& r)
    : _sendSpanId(r.trace.send_span_id), _guid(r.Guid(), strnlen(r.Guid(), sizeof r.head.guid)) {
    _process.trace_id = r.trace.trace_id;
    _process.span_id = r.trace.process_span_id;
    if (r.trace.from_caller) {
        _process.parent_span_id = r.trace.parent.span_id;
        _process.trace_state = r.trace.state;
    }
    _process.name = "process " + s.queue;
    _process.kind = SpanKind::kConsumer;
    _process.start = std::chrono::system_clock::now();
    _process.attributes = Messaging("process", s.queue, std::string(r.routing_key), _guid);
    _process.attributes.push_back(
        IntegerAttribute("messaging.message.body.size", static_cast<long long>(r.length)));
    _peer = PeerOf(s.broker);
    _process.attributes.insert(_process.attributes.end(), _peer.begin(), _peer.end());
}

std::function<void(const RecordRun&)> RequestSpans::Recorder() {
    return [this](const RecordRun& run) { Record(run); };
}

Span RequestSpans::Child(const std::string& name, SpanKind kind) const {
    Span child;
    child.trace_id = _process.trace_id;
    child.parent_span_id = _process.span_id;
    child.name = name;
    child.kind = kind;
    return child;
}

void RequestSpans::Record(const RecordRun& run) {
    std::string name = "call";
    if (!run.comtype.empty()) name += " " + run.comtype + " " + run.nfunc;
    Span call = Child(name, SpanKind::kInternal);
    call.span_id = NewSpanId();
    call.start = run.start;
    call.end = run.end;
    call.attributes = {
        TextAttribute("tolvane.record.comtype", run.comtype),
        TextAttribute("tolvane.record.nfunc", run.nfunc),
        IntegerAttribute("tolvane.record.index", static_cast<long long>(_records.size())),
        FlagAttribute("tolvane.record.went_on", run.went_on)};
    if (!run.went_on) {
        call.error = true;
        call.status_message = run.output.substr(0, kShownOutput);
    }
    _records.push_back(std::move(call));
}

void RequestSpans::Replying() {
    _sendStart = std::chrono::system_clock::now();
}

void RequestSpans::Done(const Reply& reply, const Sending& sending) {
    const std::string exchange = ExchangeName(reply.exchange);
    Span send = Child("send " + exchange, SpanKind::kProducer);
    send.span_id = _sendSpanId;
    send.start = _sendStart;
    send.end = std::chrono::system_clock::now();
    send.attributes = Messaging("send", exchange, reply.key, _guid);
    send.attributes.insert(send.attributes.end(), _peer.begin(), _peer.end());
    if (!sending.sent) {
        send.error = true;
        send.status_message = sending.why.empty() ? "not sent" : sending.why;
    }
    _process.end = send.end;
    std::vector<Span> all;
    all.reserve(_records.size() + 2);
    all.push_back(std::move(_process));
    for (Span& call : _records) all.push_back(std::move(call));
    all.push_back(std::move(send));
    ExportSpans(all);
}

std::shared_ptr<RequestSpans> RequestSpansFor(const Settings& s, const Request& r) {
    if (!SpanExportOn()) return nullptr;
    // A caller that did not sample its trace wants no spans of it.
    if (r.trace.from_caller && (r.trace.parent.flags & 1) == 0) return nullptr;
    return std::make_shared<RequestSpans>(s, r);
}
