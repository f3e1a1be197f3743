// Handling of one delivered request: framing check, plug-in calls, one reply.
#ifndef TOLVANE_MSGOPERATION_H
#define TOLVANE_MSGOPERATION_H

#include <string>

#include "defines.h"

// Pool job: `arg` is a malloc'ed amqp_envelope_t that this job always releases.
void* ProcMSG(void* arg);
// Runs one call record; the outcome is only the text left in strOut.
void CallFun(MSG_SEND msg, std::string& strOut);

#endif
