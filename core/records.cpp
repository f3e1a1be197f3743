// A request's call records, run in order while each output begins with "10000:": the
// parameter parsing, the path rule and "server" redirect, the plug-in call wherever the
// isolation runs it, the log lines and the failure texts. The daemon and tolvane-call --local
// both run records through here.
#include "core/records.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <map>
#include <vector>

#include "amqp/wire.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "core/stats.h"
#include "dravik/tools.h"
#include "plugin.h"

namespace {

const size_t kLogSize = 4000;  // log lines longer than this are cut

// Logs "first second", cut to the log buffer.
void LogJoined(const char* first, const char* second) {
    char error[kLogSize];
    snprintf(error, sizeof error, "%s %s", first, second);
    LOG(error);
}

// Copies the text at src, up to its NUL or srcMax bytes, into the field dst of dstSize bytes,
// cut to dstSize - 1 characters and always terminated.
void CopyText(char* dst, size_t dstSize, const char* src, size_t srcMax) {
    size_t n = strnlen(src, srcMax);
    if (n > dstSize - 1) n = dstSize - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// The second plug-in argument for the short name "libvorn.so": the encoded parameter text.
std::string EncodeParam(char* param) {
    size_t n = strlen(param);
    std::vector<char> des(3 * ((n + 1) / 2) + 1, '\0');
    Base64Encode(param, des.data());
    return std::string(des.data());
}

// The parameter text as the log shows it: whole, or with log_params=no only its comtype and
// nfunc, so that secrets among the parameters stay out of the log.
// `dict` is what ProcParam made of it, so the text is parsed only once.
std::string LoggedParam(const Settings& s, const char* param,
                        std::map<std::string, std::string>& dict) {
    if (s.log_params) return param;
    return "comtype=" + GetValue("comtype", dict) + " nfunc=" + GetValue("nfunc", dict);
}

// The call of a parsed record: library and function ("server" redirected to vorn's
// cloudcall), the second argument, and the map and incoming output moved in.
PluginCall MakeCall(const Settings& s, char* param, std::map<std::string, std::string>& dict,
                    std::string& strOut) {
    PluginCall call;
    call.soName = GetValue("comtype", dict);
    call.func = GetValue("nfunc", dict);
    if (call.soName == "server") {
        call.soName = "vorn";
        call.func = "cloudcall";
    }
    call.encodeParam = call.soName == "libvorn.so" ? EncodeParam(param) : "param";
    call.dictParam.swap(dict);
    call.strOut.swap(strOut);
    call.cache = s.plugin_cache;
    return call;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CallFun under the settings `s` of the message it belongs to (log_params, plugin_cache);
// `run` learns the names the record gave.
void CallFunWith(const Settings& s, const MSG_SEND& msg, std::string& strOut, RecordRun* run) {
    // The field need not hold a NUL: the text ends at 4000 bytes at the latest.
    char param[sizeof msg.szParam + 1];
    CopyText(param, sizeof param, msg.szParam, sizeof msg.szParam);
    std::map<std::string, std::string> dictParam;
    const bool parsed = ProcParam(param, dictParam);
    const std::string logged = LoggedParam(s, param, dictParam);
    LOG(logged.c_str());
    if (!parsed) {
        strOut = "failed to reslove the param.";
        LogJoined(strOut.c_str(), logged.c_str());
        ++Stats().plugin_failures;
        return;
    }
    const std::string comtype = GetValue("comtype", dictParam);  // the plug-in may change the map
    if (run) {
        run->comtype = comtype;
        run->nfunc = GetValue("nfunc", dictParam);
    }

    // Here or in a worker process: only the output and how the call ended come back.
    PluginCall call = MakeCall(s, param, dictParam, strOut);
    const auto start = std::chrono::steady_clock::now();
    const CallEnd end = RunPluginCall(call);
    // Only calls that reached a function: the labels stay the installed plug-ins.
    if (end != CallEnd::kNoLibrary && end != CallEnd::kNoFunction && end != CallEnd::kNoWorker)
        CountCall(comtype, SecondsSince(start));
    strOut.swap(call.strOut);
    switch (end) {
    case CallEnd::kReturned:
        LogJoined(strOut.c_str(), logged.c_str());
        return;
    case CallEnd::kNoLibrary:
    case CallEnd::kNoFunction:
        LogJoined(end == CallEnd::kNoLibrary ? "failed to open so" : "failed to get the function",
                  logged.c_str());
        strOut = "get the method failed.";
        break;
    case CallEnd::kThrew:
    case CallEnd::kDied:
    case CallEnd::kTimedOut:
    case CallEnd::kNoWorker:
        strOut = "Try Catch Unknow error.";
        LogJoined("try catch", logged.c_str());
        break;
    }
    ++Stats().plugin_failures;
}

}  // namespace

void RunRecords(const Settings& s, const char* pData, int msgCount, std::string& strOut,
                const RecordWatch& watch) {
    for (int i = 0; i < msgCount; ++i) {
        if (i > 0 && watch.go_on && !watch.go_on()) break;
        if (!watch.ran) {
            CallFunWith(s, RecordAt(pData, i), strOut, nullptr);
        } else {
            RecordRun run;
            run.start = std::chrono::system_clock::now();
            CallFunWith(s, RecordAt(pData, i), strOut, &run);
            run.end = std::chrono::system_clock::now();
            run.went_on = BeginsWithGoOn(strOut);
            run.output = strOut;
            watch.ran(run);
        }
        if (!BeginsWithGoOn(strOut)) break;
    }
}

// A direct call belongs to no message, so it runs under the default settings.
void CallFun(MSG_SEND msg, std::string& strOut) {
    static const Settings defaults;
    CallFunWith(defaults, msg, strOut, nullptr);
}
