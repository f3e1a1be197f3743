// One delivered request: check its framing, run its call records through plug-in libraries
// while each output starts with "10000:", and publish one RESULT to the request's platform.
// The settings are read once per message and passed down; the reply path is client/reply.
#include "client/MSGOperation.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "amqp/connection.h"
#include "amqp/wire.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "client/reply.h"
#include "core/service_settings.h"
#include "core/stats.h"
#include "dravik/tools.h"

namespace {

const size_t kLogSize = 4000;  // log lines longer than this are cut

// A request body of nDataLength > 0 bytes: runs it and replies.
ReplyFate HandleRequest(const char* pData, long nDataLength, const amqp_basic_properties_t& props) {
    // Read for every message, so a changed mq.conf counts from the next request on; the whole
    // request, its calls and its reply, sees this one object.
    const Settings s = ReadServiceSettings();

    // A body shorter than the head is read only as far as it goes; it fails the length check.
    const T_MSG_HEAD head = DecodeHead(pData, size_t(nDataLength));
    int msg_count = head.count;
    const char* guid = head.guid;
    const char* queue = head.platform;
    // A guid is the requester's text: its control characters must not forge log lines.
    const std::string logGuid = VisibleControls(guid);
    LOG(logGuid.c_str());

    char error[kLogSize];
    std::string strOut;
    if (!LengthMatches(head, size_t(nDataLength))) {
        snprintf(error, sizeof error, "the length is wrong:%s", guid);
        strOut = error;
        snprintf(error, sizeof error, "the length is wrong:%s", logGuid.c_str());
        LOG(error);
    } else {
        RunRecords(s, pData, msg_count, strOut);
    }

    T_RESULT result = EncodeResult(guid, strOut);
    const Reply reply = AddressOf(s, props, queue, &result);
    const Sending sending = SendResult(s, reply);
    if (sending.sent) return ReplyFate::kDone;
    snprintf(error, sizeof error, "%s send result faild.the result is: %s", logGuid.c_str(),
             strOut.c_str());
    LOG(error);
    LogSendFailure(s, reply, sending);
    return sending.refused ? ReplyFate::kDone : ReplyFate::kLost;
}

}  // namespace

void EnvelopeRelease::operator()(amqp_envelope_t* env) const {
    ReleaseEnvelope(env);
}

ReplyFate HandleMessage(const amqp_envelope_t& env) {
    ReplyFate fate = ReplyFate::kDone;
    // Whatever throws here (memory running out while parsing, reading settings, logging or
    // publishing) costs this one message, never the worker or the service.
    try {
        const char* pData = static_cast<const char*>(env.message.body.bytes);
        long nDataLength = long(env.message.body.len);
        if (pData == nullptr || nDataLength == 0) {
            LOG("PARAM TOO SHORT");
        } else {
            fate = HandleRequest(pData, nDataLength, env.message.properties);
        }
    } catch (...) {
        try {
            LOG("the message handling failed with an exception, the message is dropped");
        } catch (...) {}
    }
    return fate;
}

void* ProcMSG(void* arg) {
    EnvelopePtr env(static_cast<amqp_envelope_t*>(arg));
    if (env) HandleMessage(*env);
    return nullptr;
}
