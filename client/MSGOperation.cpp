// One delivered request: check its framing, run its call records through plug-in libraries
// while each output starts with "10000:", and publish one RESULT to the request's platform.
// The settings are read once per message and passed down; the reply path is client/reply.
#include "client/MSGOperation.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "amqp/connection.h"
#include "amqp/wire.h"
#include "core/log.h"
#include "client/deadline.h"
#include "client/reply.h"
#include "client/request_spans.h"
#include "core/service_settings.h"

namespace {

const size_t kLogSize = 4000;  // log lines longer than this are cut

void LogTrace(const Request& r, const std::string& logGuid) {
    const std::string line = "trace " + logGuid + " " + r.trace.trace_id;
    LOG(line.c_str());
}

// A request with a body: runs it and hands its reply over; `settle` learns its fate.
// `handedOver` is set once the reply is on its way: `settle` is then its way's to call,
// perhaps after this returns.
void RunAndReply(const Request& r, const ReplySettle& settle, bool& handedOver) {
    // Read for every message, so a changed mq.conf counts from the next request on; the whole
    // request, its calls and its reply, sees this one object.
    const std::shared_ptr<const Settings> held = ReadServiceSettingsShared();
    const Settings& s = *held;

    // A body shorter than the head was read only as far as it goes; it fails the length check.
    const char* guid = r.Guid();
    // A guid is the requester's text: its control characters must not forge log lines.
    const std::string logGuid = VisibleControls(guid);
    LOG(logGuid.c_str());
    if (s.log_trace) LogTrace(r, logGuid);
    // Its caller no longer waits: settled as done, with no reply.
    if (ExpiredOnTake(s, r, logGuid)) return;
    const std::shared_ptr<RequestSpans> spans = RequestSpansFor(s, r);  // null: none exported

    char error[kLogSize];
    std::string strOut;
    if (!r.framed) {
        snprintf(error, sizeof error, "the length is wrong:%s", guid);
        strOut = error;
        snprintf(error, sizeof error, "the length is wrong:%s", logGuid.c_str());
        LOG(error);
    } else {
        RecordWatch watch = DeadlineWatch(s, r, logGuid);
        if (spans) watch.ran = spans->Recorder();
        RunRecords(s, r.body, r.head.count, strOut, watch);
    }

    handedOver = true;
    if (spans) spans->Replying();
    // `done` may run on another thread after this returns: it holds copies of all it uses.
    HandOver(s, AddressOf(s, r, EncodeResult(guid, strOut)),
             [held, logGuid, strOut, settle, spans](const Reply& reply, const Sending& sending) {
                 if (spans) spans->Done(reply, sending);
                 if (sending.sent) return settle(ReplyFate::kDone);
                 char line[kLogSize];
                 snprintf(line, sizeof line, "%s send result faild.the result is: %s",
                          logGuid.c_str(), strOut.c_str());
                 LOG(line);
                 LogSendFailure(*held, reply, sending);
                 settle(sending.refused ? ReplyFate::kDone : ReplyFate::kLost);
             });
}

}  // namespace

void EnvelopeRelease::operator()(amqp_envelope_t* env) const {
    ReleaseEnvelope(env);
}

void HandleRequest(const Request& r, const ReplySettle& settle) {
    // Settled once: by the reply's outcome, or here when no reply is owed or the handling
    // failed before its reply was handed over.
    bool handedOver = false;
    bool threw = false;
    // Told by the reply's way; read here only when the hand-over threw, so that a reply that
    // never got on its way is still settled. A way that queues throws only before it did.
    auto told = std::make_shared<bool>(false);
    const ReplySettle toldSettle = [told, settle](ReplyFate fate) {
        *told = true;
        settle(fate);
    };
    // Whatever throws here (memory running out while parsing, reading settings, logging or
    // publishing) costs this one message, never the worker or the service.
    try {
        if (r.length == 0) {
            LOG("PARAM TOO SHORT");
        } else {
            RunAndReply(r, toldSettle, handedOver);
        }
    } catch (...) {
        threw = true;
        try {
            LOG("the message handling failed with an exception, the message is dropped");
        } catch (...) {}
    }
    if (!handedOver || (threw && !*told)) settle(ReplyFate::kDone);
}

ReplyFate HandleMessage(const amqp_envelope_t& env) {
    // Held by the settle as well: a way that does not wait tells it after this returns.
    auto fate = std::make_shared<ReplyFate>(ReplyFate::kDone);
    HandleRequest(ParseRequest(env), [fate](ReplyFate f) { *fate = f; });
    return *fate;
}

void* ProcMSG(void* arg) {
    EnvelopePtr env(static_cast<amqp_envelope_t*>(arg));
    if (env) HandleMessage(*env);
    return nullptr;
}
