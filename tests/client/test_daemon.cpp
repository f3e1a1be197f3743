// The real tolvane program, started as a daemon against the tests' broker node and a real
// queue-name endpoint on loopback: start-up, serving, and riding out a stopped broker.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_fixture.h"

using testutil::ReadAll;

namespace {

const char kReconnectLine[] = "the connection may lose,connect the mq server again...";

// Times of the log lines that carry `text`.
std::vector<time_t> LineTimes(const std::string& log, const std::string& text) {
    std::vector<time_t> times;
    size_t at = 0;
    while ((at = log.find(text, at)) != std::string::npos) {
        size_t start = log.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        struct tm tm {};
        if (sscanf(log.c_str() + start, "[%d-%d-%d,%d:%d:%d]", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                   &tm.tm_hour, &tm.tm_min, &tm.tm_sec) == 6) {
            tm.tm_year -= 1900;
            tm.tm_mon -= 1;
            tm.tm_isdst = -1;
            times.push_back(mktime(&tm));
        }
        at += text.size();
    }
    return times;
}

TEST_F(DaemonTest, PidFileNamesTheDaemonAndASecondStartIsRefused) {
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    ASSERT_TRUE(amqp.DeclareQueue("tolvane.t.single"));
    WriteConf("tolvane.t.single", "127.0.0.1:" + std::to_string(ClosedPort()));

    pid_t first = Start();
    ASSERT_GT(first, 0);
    EXPECT_NE(first, getpid());
    char real[PATH_MAX];
    EXPECT_EQ(ExeOf(first), realpath(kDaemon.c_str(), real) ? real : kDaemon);
    EXPECT_EQ(ReadAll(TOLVANE_PID_FILE), std::to_string(first) + std::string(1, '\0'));
    EXPECT_TRUE(Answers(amqp, "tolvane.t.single"));

    EXPECT_EQ(probe::RunToExit({kDaemon}), 0);
    EXPECT_TRUE(
        WaitFor([] { return ServiceLog().find("one instance is running!!!") != std::string::npos; },
                10000));
    EXPECT_TRUE(IsAlive(first));
    EXPECT_EQ(PidInFile(), first);
    EXPECT_TRUE(Answers(amqp, "tolvane.t.single"));
    amqp.DeleteQueue("tolvane.t.single");
}

// The name the endpoint answers is stored before the consumer reads it; a failed lookup
// (nothing listening, an error page) keeps the stored name.
TEST_F(DaemonTest, QueueNameIsLookedUpBeforeTheConsumerReadsIt) {
    const struct {
        std::vector<std::string> answer;  // none: nothing listens
        std::string stored, served;
    } cases[] = {
        {{"--body", "tolvane.t.looked-up"}, "tolvane.t.stale", "tolvane.t.looked-up"},
        {{}, "tolvane.t.kept", "tolvane.t.kept"},
        {{"--status", "500", "--body", "tolvane.t.error-page"}, "tolvane.t.kept", "tolvane.t.kept"},
    };
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.empty() ? "nothing listens" : c.answer.back());
        ASSERT_TRUE(amqp.DeclareQueue(c.served));
        const bool asked = !c.answer.empty();
        if (asked) {
            ASSERT_TRUE(_endpoint.Start(c.answer));
        }
        const std::string host =
            asked ? _endpoint.host() : "127.0.0.1:" + std::to_string(ClosedPort());
        std::string conf = WriteConf(c.stored, host);
        pid_t pid = Start();
        ASSERT_GT(pid, 0);
        // The stale queue does not exist: only a consumer on the looked-up name can answer.
        EXPECT_TRUE(Answers(amqp, c.served));
        conf.replace(conf.find("queue=" + c.stored), 6 + c.stored.size(), "queue=" + c.served);
        EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), conf);
        if (asked) {
            EXPECT_EQ(_endpoint.Requests(), "POST /remoteService/getmqname.asp 0\n");
        }
        _endpoint.Stop();
        Stop(pid);
        amqp.DeleteQueue(c.served);
    }
}

// A daemon serving its queue with the default settings from the start of each test.
class ServingDaemon : public RoutedDaemonTest {
protected:
    ServingDaemon() : RoutedDaemonTest(kQueue, kPlatform, kReplies) {}
    void SetUp() override {
        RoutedDaemonTest::SetUp();
        ASSERT_GT(StartWith(""), 0);
    }

    // Publishes raw bodies and collects `expected` replies, then checks that no more come.
    std::vector<Reply> Exchange(const std::vector<std::string>& bodies, size_t expected) {
        for (const auto& b : bodies) EXPECT_TRUE(_amqp.Publish("", kQueue, b));
        std::vector<Reply> replies;
        std::string body;
        while (replies.size() < expected && _amqp.Get(kReplies, &body, 60000)) {
            replies.push_back(ParseReply(body));
        }
        EXPECT_EQ(replies.size(), expected);
        EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "an extra reply";
        return replies;
    }

    std::string Text(const std::vector<Reply>& replies, const std::string& guid) {
        for (const auto& r : replies)
            if (r.guid == guid) return r.text;
        return "<no reply for " + guid + ">";
    }

    static constexpr const char* kQueue = "tolvane.t.serve";
    static constexpr const char* kPlatform = "tolvane.t.raw";
    static constexpr const char* kReplies = "tolvane.t.raw.replies";
};

TEST_F(ServingDaemon, ToolCallsGetTheirReplies) {
    const std::string q = std::string("--queue ") + kQueue + " ";
    CallOutcome plain = Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=echo text=hi");
    EXPECT_EQ(plain.status, 0) << plain.output;
    EXPECT_EQ(plain.output.compare(0, 6, "10000:"), 0) << plain.output;
    EXPECT_NE(plain.output.find("text=hi"), std::string::npos) << plain.output;

    CallOutcome chain = Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=echo a=1 -- "
                                                 "comtype=echo nfunc=say text=second");
    EXPECT_EQ(chain.output, "second");
    CallOutcome stopped = Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=say text=first -- "
                                                   "comtype=echo nfunc=say text=never");
    EXPECT_EQ(stopped.output, "first");
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=nosuch nfunc=x").output, "get the method failed.");
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=boom").output,
              "Try Catch Unknow error.");

    CallOutcome missing = Call(TEST_AMQP_PORT, "--queue tolvane.t.absent comtype=echo nfunc=echo");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("tolvane.t.absent"), std::string::npos) << missing.output;
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=echo nfunc").status, 2) << "not key=value";
    // The broker's refusal ends the call at once, with its reply code; no close waits it out.
    auto asked = std::chrono::steady_clock::now();
    CallOutcome vhost = Call(TEST_AMQP_PORT, "--timeout 30 --vhost tolvane.t.none " + q + "a=b");
    EXPECT_EQ(vhost.status, 1);
    EXPECT_NE(vhost.output.find("530 NOT_ALLOWED"), std::string::npos) << vhost.output;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    CallOutcome noBroker = Call(ClosedPort(), q + "comtype=echo nfunc=echo");
    EXPECT_EQ(noBroker.status, 1);
    EXPECT_NE(noBroker.output.find("cannot connect"), std::string::npos) << noBroker.output;
}

TEST_F(ServingDaemon, ToolTimesOutWhenNobodyConsumes) {
    ASSERT_TRUE(_amqp.DeclareQueue("tolvane.t.idle"));
    CallOutcome idle =
        Call(TEST_AMQP_PORT, "--timeout 1 --queue tolvane.t.idle comtype=echo nfunc=echo");
    EXPECT_EQ(idle.status, 3);
    EXPECT_NE(idle.output.find("no reply"), std::string::npos) << idle.output;
    // A wait longer than an int of milliseconds must still wait, not give up at once.
    std::string longWait = testutil::Capture(
        "timeout 3 " + kCall + " --port " + std::to_string(TEST_AMQP_PORT) +
        " --password guest --timeout 3000000 --queue tolvane.t.idle comtype=echo nfunc=echo"
        " >/dev/null 2>&1; echo $?");
    EXPECT_EQ(longWait, "124\n") << "124: still waiting when timeout(1) ended it";
    _amqp.DeleteQueue("tolvane.t.idle");
}

TEST_F(ServingDaemon, RawBodiesGetTheFramingReplies) {
    const std::vector<std::string> echo = {"comtype=echo", "nfunc=say", "text=10000:raw"};
    std::string countTwoOneRecord = RequestBody("raw-short", kPlatform, {echo});
    countTwoOneRecord[52] = 2;
    std::string negative = RequestBody("raw-negative", kPlatform, {});
    memset(&negative[52], 0xff, 4);

    auto replies = Exchange({RequestBody("raw-empty", kPlatform, {}), countTwoOneRecord, negative,
                             std::string(), RequestBody("raw-one", kPlatform, {echo})},
                            4);
    EXPECT_EQ(Text(replies, "raw-empty"), "");
    EXPECT_EQ(Text(replies, "raw-short"), "the length is wrong:raw-short");
    EXPECT_EQ(Text(replies, "raw-negative"), "the length is wrong:raw-negative");
    EXPECT_EQ(Text(replies, "raw-one"), "10000:raw");
    EXPECT_TRUE(
        WaitFor([] { return ServiceLog().find("PARAM TOO SHORT") != std::string::npos; }, 5000));
}

TEST_F(ServingDaemon, BurstGetsExactlyOneReplyEach) {
    const int kBurst = 3000;
    std::vector<std::string> bodies;
    std::set<std::string> sent;
    for (int i = 0; i < kBurst; ++i) {
        std::string guid = "burst-" + std::to_string(i);
        sent.insert(guid);
        bodies.push_back(
            RequestBody(guid, kPlatform, {{"comtype=echo", "nfunc=say", "text=10000:" + guid}}));
    }
    auto replies = Exchange(bodies, kBurst);
    std::set<std::string> answered;
    for (const auto& r : replies) {
        EXPECT_TRUE(answered.insert(r.guid).second) << "two replies for " << r.guid;
        EXPECT_EQ(r.text, "10000:" + r.guid);
    }
    EXPECT_EQ(answered, sent);
}

// A node of its own: stopping the shared one would break the tests running beside this one.
class OwnBrokerNode {
public:
    OwnBrokerNode() {
        _env = "TOLVANE_BROKER_NODE=" + _node + " TOLVANE_BROKER_PORT=" + std::to_string(kPort) +
               " TOLVANE_BROKER_DIST_PORT=" + std::to_string(kPort + 1) + " TOLVANE_BROKER_DIR='" +
               TEST_BINARY_DIR + "/broker-faults' ";
        _started = Script("start") == 0;
    }
    ~OwnBrokerNode() {
        if (_started) Script("stop");
    }
    bool started() const { return _started; }
    int Ctl(const std::string& args) {
        const char* bin =
            getuid() == 0 ? "/usr/sbin/rabbitmqctl" : "/usr/lib/rabbitmq/bin/rabbitmqctl";
        return testutil::TempDir::Run(std::string(bin) + " -q -n " + _node + " " + args +
                                      " >/dev/null 2>&1");
    }

    static constexpr int kPort = TEST_AMQP_PORT + 2;

private:
    int Script(const std::string& verb) {
        return testutil::TempDir::Run(_env + "'" + TEST_SOURCE_DIR + "/scripts/broker.sh' " + verb +
                                      " >/dev/null 2>&1");
    }

    std::string _node = "tolvane-faults-" + std::to_string(TEST_AMQP_PORT) + "@localhost";
    std::string _env;
    bool _started = false;
};

TEST_F(DaemonTest, BrokerStoppedForHalfAMinuteIsRiddenOut) {
    OwnBrokerNode node;
    ASSERT_TRUE(node.started());
    const int port = OwnBrokerNode::kPort;
    const std::string q = "--timeout 40 --queue tolvane.t.faults ";
    ASSERT_EQ(Call(port, "--declare-queue --queue tolvane.t.faults").status, 0);
    WriteConf("tolvane.t.faults", "127.0.0.1:" + std::to_string(ClosedPort()), port);
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Call(port, q + "comtype=echo nfunc=say text=before").output, "before");

    time_t down = time(nullptr);
    ASSERT_EQ(node.Ctl("stop_app"), 0);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    time_t up = time(nullptr);
    ASSERT_EQ(node.Ctl("start_app"), 0);

    std::vector<time_t> lines;
    for (time_t t : LineTimes(ServiceLog(), kReconnectLine)) {
        if (t >= down && t <= up) lines.push_back(t);
    }
    EXPECT_GE(lines.size(), 3u);
    EXPECT_LE(lines.size(), 4u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GE(lines[i] - lines[i - 1], 9) << "reconnect lines too close";
        EXPECT_LE(lines[i] - lines[i - 1], 13) << "reconnect lines too far apart";
    }

    CallOutcome after = Call(port, q + "comtype=echo nfunc=say text=after");
    EXPECT_EQ(after.output, "after");
    // Each failure line is followed by why; each start of consuming is logged.
    const std::string log = ServiceLog(), where = "127.0.0.1:" + std::to_string(port);
    EXPECT_NE(log.find("consumer failed: queue \"tolvane.t.faults\", user \"guest\", vhost \"/\", "
                       "cannot connect to the broker at " +
                       where),
              std::string::npos);
    EXPECT_GE(LineTimes(log, "consumer started: queue \"tolvane.t.faults\"").size(), 2u);
    EXPECT_TRUE(IsAlive(pid));
    EXPECT_EQ(PidInFile(), pid);
    Stop(pid);  // before its node goes
}

}  // namespace
