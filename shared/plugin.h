// The contract of a plug-in library. The service loads lib<name>.so from its lib folder, where
// <name> is the request's "comtype", and calls the "nfunc" function, found by its plain symbol
// name, once per call record. Build against the same C++ standard library as the service.
#ifndef TOLVANE_PLUGIN_H
#define TOLVANE_PLUGIN_H

#include <map>
#include <string>

// dictParam:   every key=value line of the record, "comtype" and "nfunc" included.
// encodeParam: the text "param", or the encoded parameter text when "comtype" is "libvorn.so".
// strOut:      on entry, what the request's previous record left (empty for the first); the
//              function's output. One starting with "10000:" lets the request go on with its
//              next record; any other output ends it and becomes the reply.
// The same function may run on several threads at once; the library is unloaded after each call.
// The mark that begins a successful output, and a test for it (requesters use it too).
#define TOLVANE_GO_ON "10000:"
inline bool BeginsWithGoOn(const std::string& out) {
    return out.compare(0, sizeof TOLVANE_GO_ON - 1, TOLVANE_GO_ON) == 0;
}

typedef void (*MyProc)(std::map<std::string, std::string>&, std::string, std::string&);

// Defines an exported plug-in function of type MyProc, e.g. TOLVANE_PLUGIN(echo) { ... }.
#define TOLVANE_PLUGIN(name)                                            \
    extern "C" __attribute__((visibility("default"))) void name(        \
        [[maybe_unused]] std::map<std::string, std::string>& dictParam, \
        [[maybe_unused]] std::string encodeParam, [[maybe_unused]] std::string& strOut)

#endif
