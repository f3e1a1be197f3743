// The wire between the daemon and a plug-in worker process: length-prefixed frames over a
// stream socket, one call out and one answer back. Both sides link this one module.
#ifndef TOLVANE_CORE_WORKER_WIRE_H
#define TOLVANE_CORE_WORKER_WIRE_H

#include <string>

#include "core/plugin_call.h"

// The worker's end of its socket, as the daemon hands it over.
const int kWorkerFd = 3;

std::string EncodeCall(const PluginCall& call);
bool DecodeCall(const std::string& frame, PluginCall* call);
std::string EncodeAnswer(CallEnd end, const std::string& strOut);
bool DecodeAnswer(const std::string& frame, CallEnd* end, std::string* strOut);

// Writes one frame whole; false when the peer is gone. Never raises SIGPIPE.
bool WriteFrame(int fd, const std::string& frame);

enum class FrameRead { kRead, kClosed, kTimedOut };

// Reads one frame. `timeoutMs` < 0 waits for ever; otherwise the whole frame must arrive
// within it. kClosed for end of stream, an error or a malformed length.
FrameRead ReadFrame(int fd, int timeoutMs, std::string* frame);

#endif
