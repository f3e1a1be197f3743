// The wire between the daemon and a plug-in worker process: numbered frames over a stream
// socket, one call out and its answer back under the same number. Both sides link this one
// module. The daemon trusts nothing a worker sends: a frame that does not parse, is longer
// than its call may answer, or carries another call's number is the worker's death.
#ifndef TOLVANE_CORE_WORKER_WIRE_H
#define TOLVANE_CORE_WORKER_WIRE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "core/plugin_call.h"

// The worker's end of its socket, as the daemon hands it over.
const int kWorkerFd = 3;

// How much longer than the output it was handed a call's output may be. A chain passes each
// output on whole to its next record, so the bound grows with the chain, while a reply shows
// only 1023 characters and a log line 4000: a megabyte of its own is far beyond what any
// record needs to say. The worker cuts a longer output there; the daemon refuses more.
const size_t kOutputGrowth = size_t(1) << 20;

// The longest output an answer may carry for a call handed `incoming` bytes of output.
size_t OutputLimit(size_t incoming);
// The longest answer payload for such a call.
size_t AnswerPayloadLimit(size_t incoming);

std::string EncodeCall(const PluginCall& call);
bool DecodeCall(const std::string& payload, PluginCall* call);
std::string EncodeAnswer(CallEnd end, const std::string& strOut);
bool DecodeAnswer(const std::string& payload, CallEnd* end, std::string* strOut);

struct Frame {
    uint32_t number = 0;  // the call's; an answer repeats it
    std::string payload;
};

// Lets a read or write on the daemon's end of a socket wake every second, so that ReadFrame
// and WriteFrame notice a peer that ended while another process still holds its end.
bool WakeEverySecond(int fd);

// Writes one frame whole; false when the peer is gone (`peer` > 0: also when that process
// ended). Never raises SIGPIPE.
bool WriteFrame(int fd, uint32_t number, const std::string& payload, pid_t peer = 0);

struct FrameWait {
    int timeoutMs = -1;              // the whole frame must arrive within it; < 0: no limit
    size_t maxPayload = UINT32_MAX;  // a longer frame is malformed, refused unread
    pid_t peer = 0;                  // > 0: the read ends when this child process ends
};

enum class FrameRead { kRead, kClosed, kTimedOut, kMalformed };

// Reads one frame, growing the payload only as its bytes arrive. kClosed for end of stream,
// an error or the peer's end; kMalformed for a frame that is not one or is too long.
FrameRead ReadFrame(int fd, const FrameWait& wait, Frame* frame);

#endif
