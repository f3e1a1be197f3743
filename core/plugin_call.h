// One plug-in call and where it runs: on the calling thread (isolation=thread) or in a worker
// process (isolation=process). The caller keeps the parameter parsing, the log and the reply;
// this seam only turns a call into its output and how it ended.
#ifndef TOLVANE_CORE_PLUGIN_CALL_H
#define TOLVANE_CORE_PLUGIN_CALL_H

#include <map>
#include <string>

#include "core/settings.h"

// What a call carries to the plug-in and back: strOut holds the incoming output on the way
// in and the plug-in's output on the way out.
struct PluginCall {
    std::string soName;  // library short name, after the "server" redirection
    std::string func;
    std::map<std::string, std::string> dictParam;
    std::string encodeParam;
    std::string strOut;
    bool cache = false;  // plugin_cache
};

// How a call ended. The order is part of the worker wire: append only.
enum class CallEnd {
    kReturned,    // the function returned; strOut is its output
    kNoLibrary,   // the library could not be loaded
    kNoFunction,  // the library has no such exported function
    kThrew,       // an exception left the function (or building its arguments)
    kDied,        // its worker process died in the call
    kTimedOut,    // its worker process was killed at call_timeout
    kNoWorker,    // no worker process could be started for it
};

// Runs `call` here, on the calling thread: path rule, load, lookup, call and the catch-all.
// What both isolation modes run; any thread.
CallEnd InvokePlugin(PluginCall& call);

// Runs `call` where the isolation chosen at start says. Any worker-pool thread.
CallEnd RunPluginCall(PluginCall& call);

// The isolation for this run, from the settings read at start: under process, calls go to
// worker processes; under thread with call_timeout, a watcher logs overlong calls. MUST be
// called by the main thread before the first call; StopIsolation after the last.
void StartIsolation(const Settings& s);
void StopIsolation();

#endif
