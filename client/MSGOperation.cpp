// One delivered request: check its framing, run its call records through plug-in libraries
// while each output starts with "10000:", and publish one RESULT to the request's platform.
#include "MSGOperation.h"

#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <vector>

#include "MQService.h"
#include "dravik/tools.h"
#include "log.h"
#include "paths.h"
#include "plugin.h"
#include "tarrin/config.h"

namespace {

const char kGoOn[] = "10000:";
const size_t kGoOnLen = sizeof kGoOn - 1;
const size_t kLogSize = 4000;  // log lines longer than this are cut

// The loaded plug-in library of one call record, closed on every way out.
class SoHandle {
public:
    // A null path opens nothing (dlopen would hand back the program itself).
    explicit SoHandle(const char* path) : _handle(path ? dlopen(path, RTLD_LAZY) : nullptr) {}
    ~SoHandle() {
        if (_handle) dlclose(_handle);
    }
    SoHandle(const SoHandle&) = delete;
    SoHandle& operator=(const SoHandle&) = delete;

    bool IsOpen() const { return _handle != nullptr; }
    // The plug-in function `name`, or null. A lookup through a handle also searches the
    // library's dependencies, so a symbol found outside the library itself (the C library's
    // exit or abort, say) is refused: a request may only call what the plug-in exports.
    MyProc Find(const char* name) const;

private:
    void* _handle;
};

MyProc SoHandle::Find(const char* name) const {
    dlerror();
    void* sym = dlsym(_handle, name);
    if (dlerror() != nullptr || sym == nullptr) return nullptr;
    struct link_map* own = nullptr;
    struct link_map* owner = nullptr;
    Dl_info info;
    if (dlinfo(_handle, RTLD_DI_LINKMAP, &own) != 0 ||
        dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
        owner != own) {
        return nullptr;
    }
    return reinterpret_cast<MyProc>(sym);
}

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

// Library path of a short name; false for a name that would leave the plug-in folder.
bool PluginPath(const std::string& soName, char (&szSoName)[256]) {
    if (soName.find('/') != std::string::npos) return false;
    snprintf(szSoName, sizeof szSoName, "%s/lib/lib%s.so", TOLVANE_HOME, soName.c_str());
    return true;
}

// Reads the broker settings anew and publishes `result` to the exchange `platform` with the
// routing key `platform`; false when the broker did not confirm it.
bool SendResult(const char* platform, T_RESULT& result) {
    Config config;
    config.LoadConfigFile(TOLVANE_MQ_CONF);
    std::string server = config.GetValue("server", "127.0.0.1");
    std::string userName = config.GetValue("userName", "guest");
    std::string pwd = config.GetValue("pwd", "quilb");
    std::string vhost = config.GetValue("vhost", "/");
    int port = atoi(config.GetValue("port", "5672").c_str());
    int frame_max = atoi(config.GetValue("frame_max", "131072").c_str());

    CPublisher publisher(server.c_str(), userName.c_str(), pwd.c_str(), vhost.c_str(), port,
                         frame_max);
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
    LOG(guid);

    char error[kLogSize];
    std::string strOut;
    // 64-bit, so neither a negative count nor one whose product wraps 32 bits can match.
    int64_t expected = int64_t(sizeof head) + int64_t(msg_count) * int64_t(sizeof(T_MSG_SEND));
    if (int64_t(nDataLength) != expected) {
        snprintf(error, sizeof error, "the length is wrong:%s", guid);
        strOut = error;
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
        snprintf(error, sizeof error, "%s send result faild.the result is: %s", guid, strOut.c_str());
        LOG(error);
    }
}

}  // namespace

void* ProcMSG(void* arg) {
    if (arg == nullptr) return nullptr;
    amqp_envelope_t* env = static_cast<amqp_envelope_t*>(arg);
    const char* pData = static_cast<const char*>(env->message.body.bytes);
    long nDataLength = long(env->message.body.len);
    if (pData == nullptr || nDataLength == 0) {
        LOG("PARAM TOO SHORT");
    } else {
        HandleRequest(pData, nDataLength);
    }
    amqp_destroy_envelope(env);
    free(arg);
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
