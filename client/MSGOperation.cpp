// One delivered request: check its framing, run its call records through plug-in libraries
// while each output starts with "10000:", and publish one RESULT to the request's platform.
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
#include "client/MQService.h"
#include "client/log.h"
#include "client/plugin_loader.h"
#include "client/service_settings.h"
#include "client/stats.h"
#include "dravik/tools.h"

namespace {

const char kGoOn[] = "10000:";
const size_t kGoOnLen = sizeof kGoOn - 1;
const size_t kLogSize = 4000;  // log lines longer than this are cut
// A per_worker connection idle longer than this is opened anew rather than trusted: one that
// died without a word (a partition, a broker restarted meanwhile) cannot be told from a live
// one, and a reply sent on it is lost after its commit was sent.
const int kDefaultIdleLimitS = 60;

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

// The settings of the message a worker runs, read once for it; null outside a job (the
// defaults then apply).
thread_local const Settings* jobSettings = nullptr;

const Settings& CurrentSettings() {
    static const Settings defaults;
    return jobSettings ? *jobSettings : defaults;
}

// The parameter text as the log shows it: whole, or with log_params=no only its comtype and
// nfunc, so that secrets among the parameters stay out of the log.
// `dict` is what ProcParam made of it, so the text is parsed only once.
std::string LoggedParam(const char* param, std::map<std::string, std::string>& dict) {
    if (CurrentSettings().log_params) return param;
    return "comtype=" + GetValue("comtype", dict) + " nfunc=" + GetValue("nfunc", dict);
}

// One reply: the RESULT record and where it goes.
struct Reply {
    const char* exchange;
    std::string key;
    T_RESULT* result;
    std::string correlation_id;  // empty: none
};

// How one reply went.
struct Sending {
    bool sent = false;
    bool refused = false;  // the broker said no, and would again
    std::string why;       // when not sent: the publisher's detail
};

// Publishes on `publisher`, which starts from this worker's next host when `server` lists
// several; the hosts that failed are logged by name.
Sending Publish(CPublisher& publisher, const Reply& r, const BrokerSettings& b) {
    thread_local unsigned nextHost = 0;
    publisher.SetFirstHost(nextHost++);
    Sending out;
    out.sent = publisher.PublishMessage(r.exchange, r.key.c_str(),
                                        reinterpret_cast<char*>(r.result), sizeof(T_RESULT),
                                        r.correlation_id);
    if (!publisher.HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(publisher.HostFailures().c_str());
    }
    if (!out.sent) {
        out.refused = publisher.Refused();
        out.why = publisher.Detail();
    }
    return out;
}

// Publishes `result` over a worker's own connection, kept from reply to reply and opened
// anew when the broker settings change or it idled past `idleLimit`. A reused connection
// that fails before tx.commit was sent (the broker restarted while it idled, say) is replaced
// and the reply tried once more; after the commit was sent there is no retry, so no reply is
// sent twice.
Sending PublishOnWorkerConnection(const BrokerSettings& b, std::chrono::seconds idleLimit,
                                  const Reply& reply) {
    using Clock = std::chrono::steady_clock;
    struct Slot {
        BrokerSettings opened;
        std::unique_ptr<CPublisher> publisher;
        Clock::time_point used;
    };
    thread_local Slot slot;
    if (slot.publisher && !(slot.opened == b && Clock::now() - slot.used < idleLimit &&
                            slot.publisher->Alive())) {
        slot.publisher.reset();
    }
    const bool reused = slot.publisher != nullptr;
    Sending out;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!slot.publisher) {
            slot.publisher.reset(new CPublisher(b.server.c_str(), b.userName.c_str(),
                                                b.pwd.c_str(), b.vhost.c_str(), b.port,
                                                b.frame_max));
            slot.opened = b;
        }
        out = Publish(*slot.publisher, reply, b);
        slot.used = Clock::now();
        if (out.sent) break;
        const bool retry = attempt == 0 && reused && !slot.publisher->CommitSent();
        slot.publisher.reset();
        if (!retry) break;
    }
    return out;
}

// Publishes `result` to the exchange `platform` with the routing key `platform`, over a
// connection of its own or the worker's.
Sending SendResult(const Settings& s, const Reply& reply) {
    const BrokerSettings& b = s.broker;
    Sending out;
    if (s.reply_per_worker) {
        const int idle = s.heartbeat > 0 ? s.heartbeat : kDefaultIdleLimitS;
        out = PublishOnWorkerConnection(b, std::chrono::seconds(idle), reply);
    } else {
        CPublisher publisher(b.server.c_str(), b.userName.c_str(), b.pwd.c_str(), b.vhost.c_str(),
                             b.port, b.frame_max);
        out = Publish(publisher, reply, b);
    }
    ++(out.sent ? Stats().replies_sent : Stats().replies_failed);
    return out;
}

// The line that follows "send result faild": where the reply went and why it did not arrive.
void LogSendFailure(const Settings& s, const Reply& r, const std::string& why) {
    const std::string line = "the reply to exchange \"" + std::string(r.exchange) +
                             "\" with key \"" + r.key + "\" as user \"" + s.broker.userName +
                             "\" on vhost \"" + s.broker.vhost + "\" failed: " + why;
    LOG(VisibleControls(line.c_str()).c_str());
}

// Runs the call records of a request whose length matches its count into strOut.
void RunRecords(const char* pData, int msg_count, std::string& strOut) {
    for (int i = 0; i < msg_count; ++i) {
        CallFun(RecordAt(pData, i), strOut);
        if (strOut.compare(0, kGoOnLen, kGoOn) != 0) break;
    }
}

// Where the reply goes: to the platform exchange with the platform as routing key, or, when
// the request names a reply_to queue and the service honours it, to that queue through the
// default exchange with the request's correlation_id.
Reply Address(const Settings& s, const amqp_basic_properties_t& props, const char* platform,
              T_RESULT* result) {
    Reply r{platform, platform, result, std::string()};
    if (s.reply_to && (props._flags & AMQP_BASIC_REPLY_TO_FLAG)) {
        r.exchange = "";
        r.key = AmqpText(props.reply_to);
        if (props._flags & AMQP_BASIC_CORRELATION_ID_FLAG) {
            r.correlation_id = AmqpText(props.correlation_id);
        }
    }
    return r;
}

// A request body of nDataLength > 0 bytes: runs it and replies.
ReplyFate HandleRequest(const char* pData, long nDataLength, const amqp_basic_properties_t& props) {
    const Settings s = ReadServiceSettings();
    jobSettings = &s;
    struct Reset {
        ~Reset() { jobSettings = nullptr; }
    } reset;

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
        RunRecords(pData, msg_count, strOut);
    }

    T_RESULT result = EncodeResult(guid, strOut);
    const Reply reply = Address(s, props, queue, &result);
    const Sending sending = SendResult(s, reply);
    if (sending.sent) return ReplyFate::kDone;
    snprintf(error, sizeof error, "%s send result faild.the result is: %s", logGuid.c_str(),
             strOut.c_str());
    LOG(error);
    LogSendFailure(s, reply, sending.why);
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
        } catch (...) {
        }
    }
    return fate;
}

void* ProcMSG(void* arg) {
    EnvelopePtr env(static_cast<amqp_envelope_t*>(arg));
    if (env) HandleMessage(*env);
    return nullptr;
}

void CallFun(MSG_SEND msg, std::string& strOut) {
    // The field need not hold a NUL: the text ends at 4000 bytes at the latest.
    char param[sizeof msg.szParam + 1];
    CopyText(param, sizeof param, msg.szParam, sizeof msg.szParam);
    std::map<std::string, std::string> dictParam;
    const bool parsed = ProcParam(param, dictParam);
    const std::string logged = LoggedParam(param, dictParam);
    LOG(logged.c_str());
    if (!parsed) {
        strOut = "failed to reslove the param.";
        LogJoined(strOut.c_str(), logged.c_str());
        ++Stats().plugin_failures;
        return;
    }
    std::string soName = GetValue("comtype", dictParam);
    std::string szFunc = GetValue("nfunc", dictParam);
    if (soName == "server") {
        soName = "vorn";
        szFunc = "cloudcall";
    }

    char szSoName[256] = "";
    bool pathOk = PluginPath(soName, szSoName);
    std::shared_ptr<SoHandle> handle =
        LoadPlugin(pathOk ? szSoName : nullptr, CurrentSettings().plugin_cache);
    MyProc pFun = handle->IsOpen() ? handle->Find(szFunc.c_str()) : nullptr;
    if (pFun == nullptr) {
        LogJoined(handle->IsOpen() ? "failed to get the function" : "failed to open so",
                  logged.c_str());
        strOut = "get the method failed.";
        ++Stats().plugin_failures;
        return;
    }

    // The one place where exceptions are caught: a plug-in must not take the worker down.
    try {
        std::string encodeParam = soName == "libvorn.so" ? EncodeParam(param) : "param";
        pFun(dictParam, encodeParam, strOut);
        LogJoined(strOut.c_str(), logged.c_str());
    } catch (...) {
        strOut = "Try Catch Unknow error.";
        LogJoined("try catch", logged.c_str());
        ++Stats().plugin_failures;
    }
}
