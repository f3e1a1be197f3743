// Handling of one delivered request: framing check, plug-in calls, one reply.
#ifndef TOLVANE_CLIENT_MSGOPERATION_H
#define TOLVANE_CLIENT_MSGOPERATION_H

#include <functional>
#include <memory>
#include <string>

#include "amqp/rabbit.h"
#include "client/request.h"
#include "core/records.h"  // RunRecords and CallFun, which a request runs
#include "core/settings.h"
#include "defines.h"

// What became of a request's reply, for its acknowledgement: kLost when the connection failed
// under it (the broker did not refuse it, so it may arrive on a new one); kDone otherwise
// (sent, refused by the broker, or no reply owed).
enum class ReplyFate { kDone, kLost };

// A delivered envelope (malloc'ed by the consumer, as its contents) with its one owner:
// released once, when the owner lets go of it.
struct EnvelopeRelease {
    void operator()(amqp_envelope_t* env) const;
};
using EnvelopePtr = std::unique_ptr<amqp_envelope_t, EnvelopeRelease>;

// Pool job: `arg` is a malloc'ed amqp_envelope_t that this job always releases.
void* ProcMSG(void* arg);
// ProcMSG's work on an envelope its caller keeps; the fate of its reply.
ReplyFate HandleMessage(const amqp_envelope_t& env);

// Told the fate of a request's reply, once: where its acknowledgement is settled.
using ReplySettle = std::function<void(ReplyFate fate)>;
// The same on a request already read from its envelope; `settle` is called once, when the
// reply's outcome is known (before the return under the ways that wait for the broker).
void HandleRequest(const Request& r, const ReplySettle& settle);

#endif
