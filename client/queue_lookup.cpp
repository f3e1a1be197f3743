// Asks the HTTP endpoint which queue to serve and stores the answer in the settings file.
// Every failure leaves the previous name in place; one log line says which way it went.
#include "client/queue_lookup.h"

#include <curl/curl.h>

#include <memory>
#include <string>

#include "core/home.h"
#include "core/log.h"
#include "core/settings.h"
#include "tarrin/config.h"

namespace {

const char kLookupPath[] = "/remoteService/getmqname.asp";
// Far beyond any queue name (AMQP caps them at 255 bytes); stops an endless body early.
const size_t kMaxBody = 4096;
const long kConnectTimeoutSeconds = 5;
const long kTimeoutSeconds = 10;

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

std::string LookupUrl() {
    return "http://" + ReadSettings(MqConfPath()).lookup_host + kLookupPath;
}

// A name is one line of text: an embedded line break or "=" would turn the stored line
// into other settings or into no setting at all. One trailing line break is kept.
bool IsStorableName(const std::string& body) {
    std::string line = body;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return !line.empty() && line.find('\n') == std::string::npos &&
           line.find('=') == std::string::npos;
}

void StoreQueueName(std::string name) {
    Config config;
    config.LoadConfigFile(MqConfPath());
    std::string key = "queue";
    config.SetValue(key, name);
}

}  // namespace

size_t GetQueueName(void* ptr, size_t size, size_t n, void* stream) {
    size_t bytes = size * n;
    std::string* body = static_cast<std::string*>(stream);
    if (body == nullptr || body->size() + bytes > kMaxBody) return 0;
    body->append(static_cast<const char*>(ptr), bytes);
    return bytes;
}

namespace {

// One POST; the body into *body. Empty, or why no name came back.
std::string AskEndpoint(CURL* curl, const std::string& url, std::string* body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, GetQueueName);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTimeoutSeconds);
    // The worker threads already run; libcurl must not use signals for its time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) return curl_easy_strerror(code);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return "HTTP status " + std::to_string(status);
    return std::string();
}

void LogLookup(const std::string& text) {
    LOG(VisibleControls(("queue name lookup: " + text).c_str()).c_str());
}

}  // namespace

void GetQueue() {
    curl_global_init(CURL_GLOBAL_ALL);
    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    const std::string url = LookupUrl();
    std::string body;
    std::string why = curl ? AskEndpoint(curl.get(), url, &body) : "no memory for a request";
    const std::string name(body.c_str());  // the text ends at the body's first NUL byte
    if (why.empty() && !IsStorableName(name)) why = "the answer is not a queue name";
    if (!why.empty()) {
        LogLookup(url + " failed (" + why + "); the queue in the settings is served");
        return;
    }
    StoreQueueName(name);
    std::string stored = name;
    if (stored.back() == '\n') stored.pop_back();
    if (ReadSettings(MqConfPath()).queue == stored) {
        LogLookup("stored queue=" + stored);
    } else {
        LogLookup("could not store queue=" + stored + " in " + MqConfPath() +
                  " (it needs a queue= line and must be writable); the queue in the settings "
                  "is served");
    }
}
