// The OTLP/HTTP exporter: a bounded queue filled by the workers, one thread that takes up to
// kBatchLimit spans, or whatever came within a second, and posts them to <endpoint>/v1/traces
// through libcurl's multi interface, so that the stop can cut a post short at its deadline.
#include "client/otlp.h"

#include <curl/curl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/log.h"
#include "core/stats.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

const size_t kQueueLimit = 2048;
const size_t kBatchLimit = 512;
const auto kBatchPeriod = std::chrono::seconds(1);
// A collector that does not answer within these costs its batch, never more.
const long kConnectTimeoutMs = 1000;
const long kPostTimeoutMs = 3000;
// How often a post under way looks whether the stop's flush is over.
const int kPollMs = 100;

// A requester's guid or a plug-in's output need not be UTF-8: replaced, never thrown.
std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Attributes of the resource, built once.
Json AttributeJson(const SpanAttribute& a) {
    return {{"key", a.key}, {"value", {{"stringValue", a.text}}}};
}

// The spans are written straight into the batch's text, field by field: a tree of the
// library's objects per span cost more than the rest of a request. Texts that are plain
// printable ASCII go in as they are; any other goes through the library's escaping.
void AppendText(std::string& out, const std::string& text) {
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            out += Dump(Json(text));
            return;
        }
    }
    out.append(1, '"').append(text).append(1, '"');
}

void AppendField(std::string& out, const char* name, const std::string& text) {
    out.append(",\"").append(name).append("\":");
    AppendText(out, text);
}

void AppendAttribute(std::string& out, const SpanAttribute& a) {
    out.append("{\"key\":\"").append(a.key).append("\",\"value\":{");  // keys are plain
    switch (a.kind) {
    case SpanAttribute::kText:
        out += "\"stringValue\":";
        AppendText(out, a.text);
        break;
    case SpanAttribute::kFlag:
        out += a.flag ? "\"boolValue\":true" : "\"boolValue\":false";
        break;
    case SpanAttribute::kInteger:  // an int64 is a text in OTLP's JSON
        out.append("\"intValue\":\"").append(std::to_string(a.integer)).append(1, '"');
        break;
    }
    out += "}}";
}

std::string UnixNanos(std::chrono::system_clock::time_point t) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

void AppendSpan(std::string& out, const Span& s) {
    out += "{\"traceId\":";
    AppendText(out, s.trace_id);
    AppendField(out, "spanId", s.span_id);
    if (!s.parent_span_id.empty()) AppendField(out, "parentSpanId", s.parent_span_id);
    if (!s.trace_state.empty()) AppendField(out, "traceState", s.trace_state);
    AppendField(out, "name", s.name);
    out.append(",\"kind\":").append(std::to_string(static_cast<int>(s.kind)));
    AppendField(out, "startTimeUnixNano", UnixNanos(s.start));
    AppendField(out, "endTimeUnixNano", UnixNanos(s.end));
    out += ",\"attributes\":[";
    for (size_t i = 0; i < s.attributes.size(); ++i) {
        if (i > 0) out += ',';
        AppendAttribute(out, s.attributes[i]);
    }
    out += ']';
    if (s.error) {
        out += ",\"status\":{\"code\":2";  // STATUS_CODE_ERROR
        AppendField(out, "message", s.status_message);
        out += '}';
    }
    out += '}';
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

struct EasyFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiFree {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t Discard(char* /*data*/, size_t size, size_t count, void* /*user*/) {
    return size * count;
}

class Exporter {
public:
    explicit Exporter(const Settings& s);
    // The curl handles and the thread; false with why.
    bool Start(std::string* why);
    void Add(std::vector<Span>& spans);
    void Stop(std::chrono::milliseconds flush);
    const std::string& Url() const { return _url; }

private:
    void Run();
    // The next batch, after up to a second's wait; false once the exporter is done.
    bool Take(std::vector<Span>* batch);
    void Post(const std::vector<Span>& batch);
    bool Send(const std::string& body, std::string* why);
    bool FlushOver();
    std::string BatchJson(const std::vector<Span>& batch) const;

    // The request body around its spans: the resource and the scope, dumped once.
    std::string _head;
    std::string _tail;

    const std::string _url;
    const std::string _caFile;
    std::unique_ptr<CURL, EasyFree> _easy;
    std::unique_ptr<CURLM, MultiFree> _multi;
    std::unique_ptr<curl_slist, ListFree> _headers;
    bool _failing = false;  // the last batch was dropped: logged once until one goes through

    std::mutex _lock;
    std::condition_variable _wake;
    std::deque<Span> _queue;
    bool _stopping = false;
    bool _closed = false;  // the thread is done: nothing more is taken
    Clock::time_point _flushUntil;
    std::thread _thread;
};

Exporter::Exporter(const Settings& s)
    : _url(s.otlp_endpoint.substr(0, s.otlp_endpoint.find_last_not_of('/') + 1) + "/v1/traces"),
      _caFile(s.otlp_ca_file) {
    const Json resource = {{"attributes",
                            {AttributeJson(TextAttribute("service.name", s.otlp_service_name)),
                             AttributeJson(TextAttribute("service.version", TOLVANE_VERSION)),
                             AttributeJson(TextAttribute("host.name", HostName()))}}};
    const Json scope = {{"scope", {{"name", "tolvane"}, {"version", TOLVANE_VERSION}}},
                        {"spans", Json::array()}};
    const Json body = {{"resourceSpans", Json::array({{{"resource", resource},
                                                       {"scopeSpans", Json::array({scope})}}})}};
    // Each batch's spans go where the empty list stands.
    const std::string whole = Dump(body);
    const std::string spans = "\"spans\":[";
    const size_t at = whole.find(spans) + spans.size();
    _head = whole.substr(0, at);
    _tail = whole.substr(at);
}

bool Exporter::Start(std::string* why) {
    curl_global_init(CURL_GLOBAL_ALL);
    _easy.reset(curl_easy_init());
    _multi.reset(curl_multi_init());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    // No "Expect: 100-continue" round trip before a large batch.
    if (headers) headers = curl_slist_append(headers, "Expect:");
    _headers.reset(headers);
    if (!_easy || !_multi || !_headers) {
        *why = "libcurl could not be set up";
        return false;
    }
    CURL* e = _easy.get();
    curl_easy_setopt(e, CURLOPT_URL, _url.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, _headers.get());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, kPostTimeoutMs);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "tolvane/" TOLVANE_VERSION);
    if (!_caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, _caFile.c_str());
    _thread = std::thread(&Exporter::Run, this);
    return true;
}

void Exporter::Add(std::vector<Span>& spans) {
    std::unique_lock<std::mutex> hold(_lock);
    if (_closed || _queue.size() + spans.size() > kQueueLimit) {
        hold.unlock();
        Stats().spans_dropped += spans.size();
        return;
    }
    for (Span& s : spans) _queue.push_back(std::move(s));
    const bool batchFull = _queue.size() >= kBatchLimit;
    hold.unlock();
    if (batchFull) _wake.notify_one();
}

void Exporter::Stop(std::chrono::milliseconds flush) {
    {
        std::lock_guard<std::mutex> hold(_lock);
        if (_stopping) return;
        _stopping = true;
        _flushUntil = Clock::now() + flush;
    }
    _wake.notify_one();
    curl_multi_wakeup(_multi.get());
    if (_thread.joinable()) _thread.join();
}

void Exporter::Run() {
    std::vector<Span> batch;
    while (Take(&batch)) {
        if (!batch.empty()) Post(batch);
    }
}

bool Exporter::Take(std::vector<Span>* batch) {
    batch->clear();
    std::unique_lock<std::mutex> hold(_lock);
    _wake.wait_for(hold, kBatchPeriod,
                   [this] { return _stopping || _queue.size() >= kBatchLimit; });
    if (_stopping && (_queue.empty() || Clock::now() >= _flushUntil)) {
        Stats().spans_dropped += _queue.size();
        _queue.clear();
        _closed = true;
        return false;
    }
    const size_t n = std::min(_queue.size(), kBatchLimit);
    for (size_t i = 0; i < n; ++i) {
        batch->push_back(std::move(_queue.front()));
        _queue.pop_front();
    }
    return true;
}

void Exporter::Post(const std::vector<Span>& batch) {
    std::string why;
    if (Send(BatchJson(batch), &why)) {
        if (_failing) LOG(("spans reach " + _url + " again").c_str());
        _failing = false;
        return;
    }
    Stats().spans_dropped += batch.size();
    if (!_failing) {
        LOG(("spans to " + _url + " are dropped: " + why +
             " (counted in spans_dropped; logged again once they go through)")
                .c_str());
    }
    _failing = true;
}

bool Exporter::FlushOver() {
    std::lock_guard<std::mutex> hold(_lock);
    return _stopping && Clock::now() >= _flushUntil;
}

bool Exporter::Send(const std::string& body, std::string* why) {
    CURL* e = _easy.get();
    CURLM* m = _multi.get();
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_multi_add_handle(m, e);
    CURLcode result = CURLE_OK;
    int running = 1;
    while (running > 0) {
        if (curl_multi_perform(m, &running) != CURLM_OK) break;
        if (running == 0) break;
        if (FlushOver()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(m, nullptr, 0, kPollMs, nullptr);
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
        if (msg->msg == CURLMSG_DONE) result = msg->data.result;
    }
    curl_multi_remove_handle(m, e);
    if (result != CURLE_OK) {
        *why = result == CURLE_ABORTED_BY_CALLBACK ? "the stop's flush is over"
                                                   : curl_easy_strerror(result);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        *why = "the collector answered HTTP " + std::to_string(status);
        return false;
    }
    return true;
}

std::string Exporter::BatchJson(const std::vector<Span>& batch) const {
    std::string body = _head;
    body.reserve(_head.size() + 1500 * batch.size() + _tail.size());  // about a span's size
    for (size_t i = 0; i < batch.size(); ++i) {
        if (i > 0) body += ',';
        AppendSpan(body, batch[i]);
    }
    return body += _tail;
}

// Never freed: workers abandoned by a stop may still hand spans over while the process exits.
std::atomic<Exporter*> theExporter{nullptr};

}  // namespace

SpanAttribute TextAttribute(const char* key, const std::string& value) {
    SpanAttribute a;
    a.key = key;
    a.text = value;
    return a;
}

SpanAttribute FlagAttribute(const char* key, bool value) {
    SpanAttribute a;
    a.key = key;
    a.kind = SpanAttribute::kFlag;
    a.flag = value;
    return a;
}

SpanAttribute IntegerAttribute(const char* key, long long value) {
    SpanAttribute a;
    a.key = key;
    a.kind = SpanAttribute::kInteger;
    a.integer = value;
    return a;
}

void StartSpanExport(const Settings& s) {
    if (s.otlp_endpoint.empty() || theExporter.load()) return;
    const std::string problem = SettingValueProblem("otlp_endpoint", s.otlp_endpoint, s);
    const std::string shown = VisibleControls(s.otlp_endpoint.c_str());
    if (!problem.empty()) {
        LOG(("otlp_endpoint=\"" + shown + "\" " + problem + ": no spans are sent").c_str());
        return;
    }
    auto* exporter = new Exporter(s);
    std::string why;
    if (!exporter->Start(&why)) {
        LOG(("spans to " + shown + ": " + why + "; no spans are sent").c_str());
        delete exporter;
        return;
    }
    LOG(("spans go to " + VisibleControls(exporter->Url().c_str()) + " as service " +
         VisibleControls(s.otlp_service_name.c_str()))
            .c_str());
    theExporter.store(exporter);
}

bool SpanExportOn() {
    return theExporter.load(std::memory_order_acquire) != nullptr;
}

void ExportSpans(std::vector<Span>& spans) {
    Exporter* exporter = theExporter.load(std::memory_order_acquire);
    if (exporter) exporter->Add(spans);
}

void StopSpanExport(std::chrono::milliseconds flush) {
    Exporter* exporter = theExporter.load(std::memory_order_acquire);
    if (exporter) exporter->Stop(flush);
}
