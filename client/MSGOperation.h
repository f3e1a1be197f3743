// Handling of one delivered request: framing check, plug-in calls, one reply.
#ifndef TOLVANE_MSGOPERATION_H
#define TOLVANE_MSGOPERATION_H

#include <string>

#include "amqp/rabbit.h"
#include "defines.h"

// What became of a request's reply, for its acknowledgement: kLost when the connection failed
// under it (the broker did not refuse it, so it may arrive on a new one); kDone otherwise
// (sent, refused by the broker, or no reply owed).
enum class ReplyFate { kDone, kLost };

// Pool job: `arg` is a malloc'ed amqp_envelope_t that this job always releases.
void* ProcMSG(void* arg);
// ProcMSG's work for a caller that acknowledges: releases `env` (malloc'ed) as ProcMSG does.
ReplyFate HandleMessage(amqp_envelope_t* env);
// Runs one call record; the outcome is only the text left in strOut.
void CallFun(MSG_SEND msg, std::string& strOut);

#endif
