// One delivered request: check its framing, run its call records through plug-in libraries
// while each output starts with "10000:", and publish one RESULT to the request's platform.
#include "client/MSGOperation.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <vector>

#include "client/MQService.h"
#include "client/amqp_util.h"
#include "client/log.h"
#include "client/plugin_loader.h"
#include "client/settings.h"
#include "dravik/tools.h"
#include "client/home.h"

namespace {

const char kGoOn[] = "10000:";
const size_t kGoOnLen = sizeof kGoOn - 1;
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

// Reads the broker settings anew and publishes `result` to the exchange `platform` with the
// routing key `platform`; false when the broker did not confirm it.
bool SendResult(const char* platform, T_RESULT& result) {
    const BrokerSettings b = ReadSettings(MqConfPath()).broker;
    CPublisher publisher(b.server.c_str(), b.userName.c_str(), b.pwd.c_str(), b.vhost.c_str(),
                         b.port, b.frame_max);
    return publisher.PublishMessage(platform, platform, reinterpret_cast<char*>(&result),
                                    sizeof result);
}

// A request body of nDataLength > 0 bytes: runs it and replies.
void HandleRequest(const char* pData, long nDataLength) {
    // A body shorter than the head is copied only as far as it goes; it fails the length check.
    T_MSG_HEAD head;
    memset(&head, 0, sizeof head);
    memcpy(&head, pData, nDataLength < long(sizeof head) ? size_t(nDataLength) : sizeof head);
    head.guid[sizeof head.guid - 1] = '\0';
    head.platform[sizeof head.platform - 1] = '\0';
    int msg_count = head.count;
    const char* guid = head.guid;
    const char* queue = head.platform;
    // A guid is the requester's text: its control characters must not forge log lines.
    const std::string logGuid = VisibleControls(guid);
    LOG(logGuid.c_str());

    char error[kLogSize];
    std::string strOut;
    // 64-bit, so neither a negative count nor one whose product wraps 32 bits can match.
    int64_t expected = int64_t(sizeof head) + int64_t(msg_count) * int64_t(sizeof(T_MSG_SEND));
    if (int64_t(nDataLength) != expected) {
        snprintf(error, sizeof error, "the length is wrong:%s", guid);
        strOut = error;
        snprintf(error, sizeof error, "the length is wrong:%s", logGuid.c_str());
        LOG(error);
    } else {
        const char* pBody = pData + sizeof head;
        for (int i = 0; i < msg_count; ++i) {
            T_MSG_SEND msgBody;
            memcpy(&msgBody, pBody, sizeof msgBody);
            pBody += sizeof msgBody;
            CallFun(msgBody, strOut);
            if (strOut.compare(0, kGoOnLen, kGoOn) != 0) break;
        }
    }

    T_RESULT result;
    memset(&result, 0, sizeof result);
    CopyText(result.guid, sizeof result.guid, guid, sizeof head.guid);
    CopyText(result.strResult, sizeof result.strResult, strOut.c_str(), strOut.size());
    if (!SendResult(queue, result)) {
        snprintf(error, sizeof error, "%s send result faild.the result is: %s", logGuid.c_str(),
                 strOut.c_str());
        LOG(error);
    }
}

}  // namespace

void* ProcMSG(void* arg) {
    if (arg == nullptr) return nullptr;
    amqp_envelope_t* env = static_cast<amqp_envelope_t*>(arg);
    // Whatever throws here (memory running out while parsing, reading settings, logging or
    // publishing) costs this one message, never the worker or the service.
    try {
        const char* pData = static_cast<const char*>(env->message.body.bytes);
        long nDataLength = long(env->message.body.len);
        if (pData == nullptr || nDataLength == 0) {
            LOG("PARAM TOO SHORT");
        } else {
            HandleRequest(pData, nDataLength);
        }
    } catch (...) {
        try {
            LOG("the message handling failed with an exception, the message is dropped");
        } catch (...) {
        }
    }
    ReleaseEnvelope(env);
    return nullptr;
}

void CallFun(MSG_SEND msg, std::string& strOut) {
    // The field need not hold a NUL: the text ends at 4000 bytes at the latest.
    char param[sizeof msg.szParam + 1];
    CopyText(param, sizeof param, msg.szParam, sizeof msg.szParam);
    LOG(param);

    std::map<std::string, std::string> dictParam;
    if (!ProcParam(param, dictParam)) {
        strOut = "failed to reslove the param.";
        LogJoined(strOut.c_str(), param);
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
    SoHandle handle(pathOk ? szSoName : nullptr);
    if (!pathOk || !handle.IsOpen()) {
        LogJoined("failed to open so", param);
        strOut = "get the method failed.";
        return;
    }
    MyProc pFun = handle.Find(szFunc.c_str());
    if (pFun == nullptr) {
        LogJoined("failed to get the function", param);
        strOut = "get the method failed.";
        return;
    }

    // The one place where exceptions are caught: a plug-in must not take the worker down.
    try {
        std::string encodeParam = soName == "libvorn.so" ? EncodeParam(param) : "param";
        pFun(dictParam, encodeParam, strOut);
        LogJoined(strOut.c_str(), param);
    } catch (...) {
        strOut = "Try Catch Unknow error.";
        LogJoined("try catch", param);
    }
}
