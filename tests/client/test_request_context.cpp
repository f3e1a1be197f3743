// What a request carries beside its body, against the real daemon: its W3C trace context comes
// back on the reply, and under honour_deadlines its deadline decides whether it runs, how far
// its chain goes and when its reply expires. The requester tools send the deadline.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class RequestContextTest : public RoutedDaemonTest {
protected:
    RequestContextTest() : RoutedDaemonTest(kQueue, kPlatform, kReplies) {}

    // Publishes one request of `records` with `headers`; its guid.
    std::string Send(const std::vector<std::vector<std::string>>& records,
                     const std::vector<TestHeader>& headers) {
        std::string guid = NewGuid();
        EXPECT_TRUE(_amqp.Publish("", kQueue, RequestBody(guid, kPlatform, records), headers));
        return guid;
    }

    static TestHeader Deadline(int64_t ms) { return {"deadline", std::to_string(ms), true}; }

    static constexpr const char* kQueue = "tolvane.t.context";
    static constexpr const char* kPlatform = "tolvane.t.context.platform";
    static constexpr const char* kReplies = "tolvane.t.context.got";
};

const std::vector<std::string> kSay = {"comtype=echo", "nfunc=say", "text=10000:said"};

TEST_F(RequestContextTest, TraceContextComesBackOnTheReplyAndAMalformedOneIsIgnored) {
    ASSERT_GT(StartWith("log_trace=yes\n"), 0);
    const std::string trace = "4bf92f3577b34da6a3ce929d0e0e4736";
    const std::string parent = "00-" + trace + "-00f067aa0ba902b7-01";
    const std::string guid = Send({kSay}, {{"traceparent", parent}, {"tracestate", "tv=1,b=2"}});
    std::string body;
    TestProperties props;
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000, &props));
    EXPECT_EQ(ParseReply(body).guid, guid);
    const std::string got = props.headers["traceparent"];
    ASSERT_EQ(got.size(), parent.size()) << got;
    EXPECT_EQ(got.substr(0, 36), "00-" + trace + "-") << "the same trace";
    EXPECT_NE(got.substr(36, 16), "00f067aa0ba902b7") << "the daemon's own span";
    EXPECT_EQ(got.substr(52), "-01") << "the caller's flags";
    EXPECT_EQ(props.headers["tracestate"], "tv=1,b=2");
    EXPECT_TRUE(WaitFor(
        [&] {
            return ServiceLog().find("] trace " + guid + " " + trace + "\n") != std::string::npos;
        },
        5000));

    const std::string malformed =
        Send({kSay}, {{"traceparent", "00-" + trace + "-00f067aa0ba902b7"}});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000, &props));
    EXPECT_EQ(ParseReply(body).guid, malformed);
    EXPECT_EQ(ParseReply(body).text, "10000:said");
    EXPECT_TRUE(props.headers.empty()) << "no trace context on the reply";
    EXPECT_TRUE(props.expiration.empty()) << "deadlines not honoured: no expiration";
}

// The request's header frame just fits the default frame_max (131072): a traceparent and this
// tracestate. Passed on whole, the reply's (its content type and delivery mode besides) would
// not, and its publish would fail. Only its valid members go on, 512 bytes at most.
TEST_F(RequestContextTest, AHugeTracestateIsCutSoTheReplyStillGoes) {
    ASSERT_GT(StartWith(""), 0);
    const std::string parent = "00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01";
    const std::string head = "tv=1,big=";
    const std::string state = head + std::string(130952 - head.size(), 'x');
    const std::string guid = Send({kSay}, {{"traceparent", parent}, {"tracestate", state}});
    std::string body;
    TestProperties props;
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000, &props)) << ServiceLog();
    EXPECT_EQ(ParseReply(body).guid, guid);
    EXPECT_EQ(props.headers["tracestate"], "tv=1");
}

// Headers bigger than the consumer's frame_max (the broker's is larger) break its connection
// in the library's read. The daemon drops that connection unclosed and reconnects: a close
// over the broken state would have librabbitmq write past its buffer.
TEST_F(RequestContextTest, HeadersOverFrameMaxCostTheConnectionNotTheDaemon) {
    const pid_t pid = StartWith("frame_max=4096\n");
    ASSERT_GT(pid, 0);
    Send({kSay}, {{"junk", std::string(10000, 'y')}});
    ASSERT_TRUE(
        WaitFor([] { return ServiceLog().find("invalid AMQP data") != std::string::npos; }, 30000));
    // Back in its queue during the reconnect pause: taken away, or it breaks the next one too.
    ASSERT_TRUE(WaitFor([&] { return _amqp.MessageCount(kQueue) == 1; }, 8000));
    ASSERT_TRUE(_amqp.PurgeQueue(kQueue));
    const std::string started = "consumer started: queue \"" + std::string(kQueue) + "\"";
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::string log = ServiceLog();
            return log.find(started, log.find("invalid AMQP data")) != std::string::npos;
        },
        30000))
        << "no reconnect";
    EXPECT_EQ(kill(pid, 0), 0) << "the daemon died";
    const std::string guid = Send({kSay}, {});
    std::string body;
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000));
    EXPECT_EQ(ParseReply(body).guid, guid);
}

// One worker takes them in order: once the second is answered, the first was dealt with.
TEST_F(RequestContextTest, ExpiredRequestIsNotRunNorAnsweredAndOneInTimeGetsAnExpiration) {
    ASSERT_GT(StartWith("honour_deadlines=yes\nworkers=1\nstats_interval=1\n"), 0);
    const std::string late =
        Send({{"comtype=echo", "nfunc=say", "text=10000:late"}}, {Deadline(NowMs() - 5000)});
    const int64_t sent = NowMs(), deadline = sent + 600000;
    const std::string timely = Send({kSay}, {Deadline(deadline)});
    std::string body;
    TestProperties props;
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000, &props));
    EXPECT_EQ(ParseReply(body).guid, timely);
    const long long left = atoll(props.expiration.c_str());
    EXPECT_GE(left, deadline - NowMs()) << props.expiration;
    EXPECT_LE(left, deadline - sent) << "the time left";
    EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "the late request was answered";
    EXPECT_EQ(_amqp.MessageCount(kQueue), 0) << "and acknowledged";
    const std::string log = ServiceLog();
    EXPECT_NE(log.find("] " + late + " expired, not run: its deadline passed "), std::string::npos)
        << log;
    EXPECT_EQ(log.find("10000:late"), std::string::npos) << "its record ran";
    EXPECT_TRUE(
        WaitFor([] { return ServiceLog().find(" expired=1\n") != std::string::npos; }, 10000));
}

// The reply of a chain stopped past its deadline expires at once: a caller still consuming
// its reply queue gets it, as the requester libraries do.
TEST_F(RequestContextTest, ChainStopsBetweenRecordsOnceItsDeadlinePassed) {
    BrokerOptions broker;
    broker.port = TEST_AMQP_PORT;
    broker.pwd = "guest";
    CallClient caller(broker);
    ASSERT_TRUE(caller.Connect(10) && caller.Listen(kPlatform)) << caller.Error();
    ASSERT_GT(StartWith("honour_deadlines=yes\n"), 0);
    const std::string guid =
        Send({{"comtype=echo", "nfunc=sleep", "ms=3000"}, kSay}, {Deadline(NowMs() + 1000)});
    std::string got, text;
    ASSERT_EQ(caller.WaitReply(30000, &got, &text), 1) << caller.Error();
    EXPECT_EQ(got, guid);
    EXPECT_EQ(text, "10000:slept 3000") << "the output so far";
    EXPECT_NE(
        ServiceLog().find("] " + guid + " stopped before record 2 of 2: its deadline passed "),
        std::string::npos);
}

// No daemon: the request stays in its queue, to be read as the C library sent it.
TEST_F(RequestContextTest, TolvaneCallSendsItsTimeoutAsTheDeadline) {
    const int64_t before = NowMs();
    const CallOutcome out = Call(
        TEST_AMQP_PORT, std::string("--timeout 2 --queue ") + kQueue + " comtype=echo nfunc=say");
    const int64_t after = NowMs();
    EXPECT_EQ(out.status, 3) << out.output;
    std::string body;
    TestProperties props;
    ASSERT_TRUE(_amqp.Get(kQueue, &body, 5000, &props));
    const long long deadline = atoll(props.headers["deadline"].c_str());
    EXPECT_GE(deadline, before + 2000) << props.headers["deadline"];
    EXPECT_LE(deadline, after);
}

}  // namespace
