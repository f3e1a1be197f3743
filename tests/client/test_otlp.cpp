// Spans over OTLP with the real peers: a Node.js requester under OpenTelemetry's amqplib
// instrumentation calls the daemon, and a loopback collector receives the daemon's spans; a
// collector that is down or slow costs spans, counted, never replies.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "client/trace.h"
#include "daemon_fixture.h"

using Json = nlohmann::json;

namespace {

const char kCollector[] = "tests/client/otlp_collector.py";
const int kCollectorPort = TEST_AMQP_PORT + 50;
const int kClosedPort = TEST_AMQP_PORT + 51;
const int kMetricsPort = TEST_AMQP_PORT + 6;

class Otlp : public RoutedDaemonTest {
protected:
    Otlp() : RoutedDaemonTest("tolvane.t.otlp", "tolvane.t.otlp.out", "tolvane.t.otlp.replies") {}

    pid_t StartExporting(const std::string& endpoint) {
        return StartWith("otlp_endpoint=http://" + endpoint +
                         "\nmetrics_listen=127.0.0.1:" + std::to_string(kMetricsPort) + "\n");
    }
};

// The spans of `trace` among the collector's batches (one JSON body a line), by name.
std::map<std::string, Json> SpansOf(const std::string& batches, const std::string& trace) {
    std::map<std::string, Json> named;
    std::istringstream lines(batches);
    for (std::string line; std::getline(lines, line);) {
        const Json body = Json::parse(line, nullptr, false);
        if (body.is_discarded()) continue;
        for (const Json& rs : body["resourceSpans"]) {
            for (const Json& ss : rs["scopeSpans"]) {
                for (Json span : ss["spans"]) {
                    span["resource"] = rs["resource"];
                    if (span["traceId"] == trace) named[span["name"]] = span;
                }
            }
        }
    }
    return named;
}

// An attribute's value as its JSON ({"stringValue": ...} and so on); null when absent.
Json Attribute(const Json& owner, const std::string& key) {
    for (const Json& a : owner["attributes"]) {
        if (a["key"] == key) return a["value"];
    }
    return nullptr;
}

long SpansDropped() {
    const std::string text = testutil::Capture(
        "/usr/bin/python3 -c 'import sys, urllib.request; "
        "print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' "
        "http://127.0.0.1:" +
        std::to_string(kMetricsPort) + "/metrics 2>/dev/null");
    std::smatch m;
    return std::regex_search(text, m, std::regex("\ntolvane_spans_dropped_total (\\d+)"))
               ? std::stol(m[1])
               : -1;
}

}  // namespace

TEST_F(Otlp, NodeRequestersTraceGoesOnThroughProcessCallsAndSend) {
    LookupEndpoint collector(kCollector);
    ASSERT_TRUE(collector.Start({"--port", std::to_string(kCollectorPort)}));
    ASSERT_GT(StartExporting(collector.host()), 0);
    const std::string guid = NewGuid();
    const std::string out = testutil::Capture("NODE_PATH='" TEST_BINARY_DIR
                                              "/node/node_modules' /usr/bin/node '" TEST_SOURCE_DIR
                                              "/tests/client/otlp_node/requester.js' " +
                                              std::to_string(TEST_AMQP_PORT) + " " + _queue + " " +
                                              _platform + " " + _replies + " " + guid + " 2>&1");
    const Json node = Json::parse(out.substr(out.rfind('\n', out.size() - 2) + 1), nullptr, false);
    ASSERT_TRUE(node.is_object() && node["injected"].is_string()) << out;
    EXPECT_EQ(node["reply_guid"], guid);
    TraceParent injected;
    ASSERT_TRUE(ParseTraceParent(node["injected"], &injected)) << out;
    EXPECT_EQ(injected.span_id, node["publish"]["spanId"]) << "the publish span is the parent";

    std::map<std::string, Json> spans;
    ASSERT_TRUE(WaitFor(
        [&] {
            spans = SpansOf(collector.Requests(), injected.trace_id);
            return spans.size() >= 4;
        },
        15000))
        << collector.Requests();
    const Json& process = spans["process " + _queue];
    const Json& echo = spans["call echo echo"];
    const Json& say = spans["call echo say"];
    const Json& send = spans["send " + _platform];
    ASSERT_EQ(spans.size(), 4u) << Json(spans).dump(2);
    std::cout << "one request's spans, as the collector got them: " << Json(spans).dump() << "\n";

    EXPECT_EQ(process["parentSpanId"], injected.span_id);
    EXPECT_EQ(process["kind"], 5) << "CONSUMER";
    EXPECT_EQ(Attribute(process, "messaging.system")["stringValue"], "rabbitmq");
    EXPECT_EQ(Attribute(process, "messaging.operation.name")["stringValue"], "process");
    EXPECT_EQ(Attribute(process, "messaging.destination.name")["stringValue"], _queue);
    EXPECT_EQ(Attribute(process, "messaging.rabbitmq.destination.routing_key")["stringValue"],
              _queue);
    EXPECT_EQ(Attribute(process, "messaging.message.conversation_id")["stringValue"], guid);
    EXPECT_EQ(Attribute(process, "network.peer.port")["intValue"], std::to_string(TEST_AMQP_PORT));
    EXPECT_EQ(Attribute(process["resource"], "service.name")["stringValue"], "tolvane");
    EXPECT_TRUE(Attribute(process["resource"], "service.version").is_object());

    for (const Json* call : {&echo, &say}) {
        EXPECT_EQ((*call)["parentSpanId"], process["spanId"]);
        EXPECT_EQ((*call)["kind"], 1) << "INTERNAL";
    }
    EXPECT_EQ(Attribute(echo, "tolvane.record.went_on")["boolValue"], true);
    EXPECT_FALSE(echo.contains("status"));
    EXPECT_EQ(Attribute(say, "tolvane.record.went_on")["boolValue"], false);
    EXPECT_EQ(say["status"]["code"], 2) << "ERROR";
    EXPECT_EQ(say["status"]["message"], "the \"end\"\t\xef\xbf\xbd") << "escaped, U+FFFD for 0xfc";

    EXPECT_EQ(send["parentSpanId"], process["spanId"]);
    EXPECT_EQ(send["kind"], 4) << "PRODUCER";
    EXPECT_EQ(Attribute(send, "messaging.operation.name")["stringValue"], "send");
    EXPECT_EQ(Attribute(send, "messaging.destination.name")["stringValue"], _platform);
    EXPECT_FALSE(send.contains("status"));
    // The reply names the send span as its parent for the requester's consumer.
    const Json replyParent = node["reply_headers"].value("traceparent", Json());
    ASSERT_TRUE(replyParent.is_string()) << node["reply_headers"].dump();
    TraceParent back;
    ASSERT_TRUE(ParseTraceParent(replyParent, &back)) << replyParent;
    EXPECT_EQ(back.trace_id, injected.trace_id);
    EXPECT_EQ(back.span_id, send["spanId"]);
}

TEST_F(Otlp, RepliesKeepTheirPaceWhileTheCollectorIsDownOrSlowAndDropsAreCounted) {
    LookupEndpoint slow(kCollector);
    ASSERT_TRUE(slow.Start({"--port", std::to_string(kCollectorPort), "--delay", "10"}));
    for (const int port : {kClosedPort, kCollectorPort}) {
        const pid_t pid = StartExporting("127.0.0.1:" + std::to_string(port));
        ASSERT_GT(pid, 0);
        // A reply that waited on the collector would take its 3 s post time-out at least.
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(Answers(_amqp, _queue)) << "reply " << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << port;
        EXPECT_TRUE(WaitFor([] { return SpansDropped() > 0; }, 20000)) << port << ServiceLog();
        Stop(pid);
    }
}
