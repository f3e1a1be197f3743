// How the real daemon sends its replies and logs its calls under the settings that change
// them: reply_connection (pipelined included), plugin_cache, reply_to and log_params.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "relay.h"

using testutil::ReadAll;

namespace {

using probe::LocalPortsTo;

class RepliesTest : public RoutedDaemonTest {
protected:
    RepliesTest() : RoutedDaemonTest(kQueue, kPlatform, kReplies) {}

    // Publishes one request of `items` to kQueue and returns its guid.
    std::string Send(const std::vector<std::string>& items) {
        std::string guid = NewGuid();
        EXPECT_TRUE(_amqp.Publish("", kQueue, RequestBody(guid, kPlatform, {items})));
        return guid;
    }

    // Sends `n` requests and collects the guids of the replies until each was answered (or
    // two minutes passed); `midway` runs once a tenth are answered. True: none twice. Each
    // request is `items`, by default a quick echo.
    bool Burst(int n, std::set<std::string>* sent, std::set<std::string>* answered,
               const std::function<void()>& midway = nullptr,
               const std::vector<std::string>& items = {"comtype=echo", "nfunc=say", "text=x"}) {
        for (int i = 0; i < n; ++i) sent->insert(Send(items));
        bool once = true;
        std::string body;
        for (int waited = 0; *answered != *sent && waited < 120; ++waited) {
            while (_amqp.Get(kReplies, &body, 1000)) {
                once = answered->insert(ParseReply(body).guid).second && once;
                if (midway && answered->size() == size_t(n / 10)) midway();
            }
        }
        return once;
    }

    // The broker's pid of `pid`'s one connection to it that is not in `consumer`; empty when
    // there is none.
    static std::string PublisherOf(pid_t pid, const std::set<int>& consumer) {
        int publisher = 0;
        for (int p : LocalPortsTo(pid, TEST_AMQP_PORT))
            if (!consumer.count(p)) publisher = p;
        std::istringstream listed(RabbitmqctlOutput("list_connections pid peer_port"));
        std::string brokerPid, peerPort;
        while (listed >> brokerPid >> peerPort && peerPort != std::to_string(publisher)) {}
        return publisher != 0 && peerPort == std::to_string(publisher) ? brokerPid : "";
    }

    // Closes the connection the broker knows by `brokerPid`, as an operator does.
    static bool Close(const std::string& brokerPid) {
        return !brokerPid.empty() &&
               Rabbitmqctl("close_connection '" + brokerPid + "' 'tolvane.t close'") == 0;
    }

    CallOutcome Ask(const std::string& items) {
        return Call(TEST_AMQP_PORT, std::string("--timeout 30 --queue ") + kQueue + " " + items);
    }

    static constexpr const char* kQueue = "tolvane.t.replies";
    static constexpr const char* kPlatform = "tolvane.t.replies.platform";
    static constexpr const char* kReplies = "tolvane.t.replies.got";
};

// A reply connection that went silent without a close (a partition): the commit times out
// after it was sent, and under after_reply the request goes back to the broker instead of
// being acknowledged, to be answered on a new connection.
TEST_F(RepliesTest, ReplyLostOnASilentConnectionIsAnsweredAgainUnderAfterReply) {
    Relay relay(TEST_AMQP_PORT);
    ASSERT_GT(StartWith("port=" + std::to_string(relay.port()) +
                        "\nreply_connection=per_worker\n"
                        "workers=1\nack_mode=after_reply\n"),
              0);
    std::string body;
    Send({"comtype=echo", "nfunc=say", "text=one"});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 15000));
    ASSERT_EQ(relay.Accepted(), 2) << "the consumer's connection, then the worker's";
    relay.Freeze(1);
    const std::string guid = Send({"comtype=echo", "nfunc=say", "text=two"});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 45000)) << "the request was acknowledged, not answered";
    EXPECT_EQ(ParseReply(body).guid, guid);
    EXPECT_NE(ServiceLog().find(guid + " send result faild"), std::string::npos);
}

// The consumer's connection goes silent (a partition): with heartbeat=2 the daemon notices
// within a few seconds, not the two minutes of the default, and serves again.
TEST_F(RepliesTest, SilentConsumerConnectionIsNoticedWithinTheHeartbeat) {
    Relay relay(TEST_AMQP_PORT);
    ASSERT_GT(StartWith("port=" + std::to_string(relay.port()) +
                        "\nheartbeat=2\n"
                        "reconnect_pause=1\n"),
              0);
    ASSERT_TRUE(WaitFor([&] { return relay.Accepted() == 1; }, 10000));
    relay.Freeze(0);
    // Two missed beats, the pause and a new login: seconds, with room for a sanitizer build.
    EXPECT_TRUE(WaitFor([&] { return relay.Accepted() == 2; }, 20000)) << "no new consumer";
    EXPECT_NE(ServiceLog().find("the connection may lose"), std::string::npos);
    EXPECT_EQ(Ask("comtype=echo nfunc=say text=back").output, "back");
}

TEST_F(RepliesTest, PerWorkerConnectionsServeABurstExactlyOnce) {
    const int kBurst = 500, kWorkers = 4;
    // Transactions, then publisher confirms, on the same kept connections.
    for (const char* commit : {"", "reply_commit=confirm\n"}) {
        SCOPED_TRACE(commit);
        pid_t pid = StartWith("reply_connection=per_worker\nworkers=" + std::to_string(kWorkers) +
                              "\n" + commit);
        ASSERT_GT(pid, 0);
        std::set<std::string> sent, answered;
        std::set<int> seen;
        for (int i = 0; i < kBurst; ++i) sent.insert(Send({"comtype=echo", "nfunc=say", "text=x"}));
        // Every connection the daemon opens while it serves the burst is noticed here.
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const auto& c : LocalPortsTo(pid, TEST_AMQP_PORT)) seen.insert(c);
                return _amqp.MessageCount(kReplies) >= kBurst;
            },
            120000));
        std::string body;
        for (int i = 0; i < kBurst && _amqp.Get(kReplies, &body, 5000); ++i) {
            EXPECT_TRUE(answered.insert(ParseReply(body).guid).second) << "two replies";
        }
        EXPECT_EQ(answered, sent);
        EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "an extra reply";
        EXPECT_LE(seen.size(), size_t(kWorkers + 1)) << "the consumer and one per worker";
        EXPECT_GE(LocalPortsTo(pid, TEST_AMQP_PORT).size(), 2u) << "reply connections are kept";
        Stop(pid);
    }
}

TEST_F(RepliesTest, PipelinedRepliesAnswerABurstOnceEachUnderAfterReply) {
    pid_t pid = StartWith(
        "reply_connection=pipelined\nack_mode=after_reply\nworkers=4\n"
        "reply_window=50\n");
    ASSERT_GT(pid, 0);
    std::set<std::string> sent, answered;
    EXPECT_TRUE(Burst(300, &sent, &answered)) << "two replies";
    EXPECT_EQ(answered, sent);
    std::string body;
    EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "an extra reply";
    EXPECT_EQ(ServiceLog().find("send result faild"), std::string::npos);
    EXPECT_EQ(LocalPortsTo(pid, TEST_AMQP_PORT).size(), 2u) << "the consumer and the publisher";
}

// The broker closes the channel over a reply to a missing exchange; the replies after it go
// out on a new one.
TEST_F(RepliesTest, PipelinedReplyToAMissingExchangeFailsAlone) {
    ASSERT_GT(StartWith("reply_connection=pipelined\nack_mode=after_reply\nworkers=2\n"), 0);
    const std::string lost = NewGuid();
    ASSERT_TRUE(_amqp.Publish(
        "", kQueue,
        RequestBody(lost, "tolvane.t.no.such.exchange", {{"comtype=echo", "nfunc=say"}})));
    std::set<std::string> sent, answered;
    Burst(50, &sent, &answered);
    EXPECT_EQ(answered, sent);
    EXPECT_TRUE(
        WaitFor([&] { return ServiceLog().find(lost + " send result faild") != std::string::npos; },
                15000));
}

// The broker closes the publishing connection (as a restart or an operator does): idle, the
// daemon learns it at the next publish; mid-burst, with replies unconfirmed. Under after_reply
// a reply left unconfirmed counts as lost and its request comes back; under on_take the reply
// goes out on a new connection.
TEST_F(RepliesTest, PipelinedConnectionClosedByTheBrokerLosesNothing) {
    for (const char* mode : {"after_reply", "on_take"}) {
        SCOPED_TRACE(mode);
        pid_t pid = StartWith(std::string("reply_connection=pipelined\nworkers=4\nack_mode=") +
                              mode + "\n");
        ASSERT_GT(pid, 0);
        std::set<int> consumer;
        ASSERT_TRUE(WaitFor(
            [&] { return (consumer = LocalPortsTo(pid, TEST_AMQP_PORT)).size() == 1; }, 15000));
        std::set<std::string> sent, answered;
        ASSERT_TRUE(Burst(1, &sent, &answered));
        ASSERT_TRUE(Close(PublisherOf(pid, consumer))) << "the publishing connection is kept";
        Burst(300, &sent, &answered);
        EXPECT_EQ(answered, sent) << "a request lost";
        // Slow calls keep the replies coming while the connection goes.
        const std::string publisher = PublisherOf(pid, consumer);
        bool closed = false, midway = false;
        sent.clear();
        answered.clear();
        Burst(300, &sent, &answered,
              [&] {
                  if (closed) return;
                  closed = Close(publisher);
                  midway = answered.size() + _amqp.MessageCount(kReplies) < sent.size();
              },
              {"comtype=echo", "nfunc=sleep", "ms=100"});
        EXPECT_TRUE(closed);
        EXPECT_TRUE(midway) << "the burst was over before the close";
        EXPECT_EQ(answered, sent) << "a request lost mid-burst";
        Stop(pid);
    }
}

// Sets the private node's memory watermark so low that the memory alarm goes off, and back
// to the default at the end of the scope, whatever the test's outcome.
struct MemoryAlarm {
    MemoryAlarm() { raised = Rabbitmqctl("set_vm_memory_high_watermark 0.0001") == 0; }
    ~MemoryAlarm() { Rabbitmqctl("set_vm_memory_high_watermark 0.4"); }
    bool raised;
};

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The alarm blocks every connection that publishes: the requests go out before it, and the
// daemon's replies under it. The workers wait on the full window past the 10 s in which a
// confirm is due, while the consumer goes on heartbeating; once the alarm is gone every
// request is answered once.
TEST_F(RepliesTest, PipelinedRepliesWaitOutAMemoryAlarm) {
    const int metrics = TEST_AMQP_PORT + 6;
    std::set<std::string> sent, answered;
    for (int i = 0; i < 100; ++i) sent.insert(Send({"comtype=echo", "nfunc=say", "text=x"}));
    std::unique_ptr<MemoryAlarm> alarm(new MemoryAlarm);
    ASSERT_TRUE(alarm->raised);
    ASSERT_GT(StartWith("reply_connection=pipelined\nack_mode=after_reply\nworkers=4\n"
                        "reply_window=10\nheartbeat=2\nmetrics_listen=127.0.0.1:" +
                        std::to_string(metrics) + "\n"),
              0);
    const std::string blocked = "the broker blocked the reply connection (connection.blocked)";
    ASSERT_TRUE(WaitFor([&] { return ServiceLog().find(blocked) != std::string::npos; }, 30000));
    const std::string scrape =
        "curl -s --max-time 5 http://127.0.0.1:" + std::to_string(metrics) + "/metrics";
    EXPECT_NE(testutil::Capture(scrape).find("\ntolvane_reply_connection_blocked 1\n"),
              std::string::npos);
    // Past the confirm wait and several heartbeats of the consumer.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    alarm.reset();
    std::string body;
    bool once = true;
    for (int waited = 0; answered != sent && waited < 120; ++waited) {
        while (_amqp.Get(kReplies, &body, 1000)) {
            once = answered.insert(ParseReply(body).guid).second && once;
        }
    }
    EXPECT_EQ(answered, sent);
    EXPECT_TRUE(once) << "two replies";
    EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "an extra reply";
    EXPECT_NE(testutil::Capture(scrape).find("\ntolvane_reply_connection_blocked 0\n"),
              std::string::npos);
    const std::string log = ServiceLog();
    EXPECT_EQ(Occurrences(log, blocked), 1u) << log;
    EXPECT_EQ(Occurrences(log, "the broker unblocked the reply connection"), 1u) << log;
    EXPECT_EQ(log.find("the connection may lose"), std::string::npos) << "the consumer reconnected";
    EXPECT_EQ(log.find("send result faild"), std::string::npos);
}

// A broker restart closes an idle reply connection; closing only that one on the shared node
// does the same, without the restart's half a minute or harm to the tests beside this one.
TEST_F(RepliesTest, PerWorkerConnectionClosedByTheBrokerIsReplaced) {
    pid_t pid = StartWith("reply_connection=per_worker\nworkers=1\n");
    ASSERT_GT(pid, 0);
    std::set<int> consumer;
    auto connections = [&] { return LocalPortsTo(pid, TEST_AMQP_PORT); };
    ASSERT_TRUE(WaitFor([&] { return (consumer = connections()).size() == 1; }, 15000));
    std::string body;
    const std::string first = Send({"comtype=echo", "nfunc=say", "text=before"});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000));
    EXPECT_EQ(ParseReply(body).guid, first);
    int worker = 0;
    for (int p : connections())
        if (!consumer.count(p)) worker = p;
    ASSERT_NE(worker, 0) << "the worker keeps its connection";

    std::istringstream listed(RabbitmqctlOutput("list_connections pid peer_port"));
    std::string brokerPid, peerPort;
    while (listed >> brokerPid >> peerPort && peerPort != std::to_string(worker)) {}
    ASSERT_EQ(peerPort, std::to_string(worker));
    ASSERT_EQ(Rabbitmqctl("close_connection '" + brokerPid + "' 'tolvane.t restart'"), 0);
    const std::string second = Send({"comtype=echo", "nfunc=say", "text=after"});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000));
    EXPECT_EQ(ParseReply(body).guid, second);
    EXPECT_EQ(ServiceLog().find("send result faild"), std::string::npos);
    EXPECT_EQ(connections().count(worker), 0u) << "replaced";
}

TEST_F(RepliesTest, ChangedVhostTakesTheNextReply) {
    Rabbitmqctl("add_vhost tolvane.t.v2");  // may be left from an aborted run
    ASSERT_EQ(Rabbitmqctl("set_permissions -p tolvane.t.v2 guest '.*' '.*' '.*'"), 0);
    BrokerOptions v2;
    v2.port = TEST_AMQP_PORT;
    v2.pwd = "guest";
    v2.vhost = "tolvane.t.v2";
    CallClient listener(v2);
    ASSERT_TRUE(listener.Connect(10) && listener.Listen(kPlatform)) << listener.Error();
    ASSERT_GT(StartWith("reply_connection=per_worker\nworkers=1\n"), 0);

    std::string body, guid, text;
    const std::string first = Send({"comtype=echo", "nfunc=say", "text=old"});
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 30000));
    EXPECT_EQ(ParseReply(body).guid, first);
    // The consumer stays where it started; only the replies follow the file.
    _conf.replace(_conf.find("vhost=/\n"), 8, "vhost=tolvane.t.v2\n");
    testutil::WriteAll(TOLVANE_MQ_CONF, _conf);
    const std::string second = Send({"comtype=echo", "nfunc=say", "text=new"});
    ASSERT_EQ(listener.WaitReply(30000, &guid, &text), 1) << listener.Error();
    EXPECT_EQ(guid, second);
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(_amqp.Get(kReplies, &body, 1500)) << "the second reply stayed in the old vhost";
    Rabbitmqctl("delete_vhost tolvane.t.v2");
}

TEST_F(RepliesTest, CachedPluginIsReloadedWhenItsFileIsReplaced) {
    const std::string lib = TOLVANE_HOME "/lib/", file = lib + "libtvcache.so";
    auto install = [&](const char* from) {
        return testutil::TempDir::Run("install -m 644 '" + lib + from + "' '" + file + "'");
    };
    ASSERT_EQ(install("libecho.so"), 0);
    pid_t pid = StartWith("plugin_cache=yes\n");
    ASSERT_GT(pid, 0);
    const std::string maps = "/proc/" + std::to_string(pid) + "/maps";
    EXPECT_EQ(Ask("comtype=tvcache nfunc=cloudcall").output, "get the method failed.");
    EXPECT_NE(ReadAll(maps).find(file), std::string::npos) << "kept loaded between calls";

    ASSERT_EQ(install("libvorn.so"), 0);
    EXPECT_EQ(Ask("comtype=tvcache nfunc=cloudcall").output,
              "10000:cloudcall arg=[param] nfunc=[cloudcall]");
    EXPECT_EQ(ReadAll(maps).find(file + " (deleted)"), std::string::npos) << "old one unloaded";
    unlink(file.c_str());
}

TEST_F(RepliesTest, HonouredReplyToAnswersAPikaRequester) {
    ASSERT_GT(StartWith("reply_to=honour\n"), 0);
    // Debian's python3-pika is installed for the system interpreter only.
    const std::string out = testutil::Capture(
        std::string("/usr/bin/python3 '") + TEST_SOURCE_DIR + "/tools/rpc_client_example.py'" +
        " --port " + std::to_string(TEST_AMQP_PORT) + " --password guest --timeout 30" +
        " --queue " + kQueue + " comtype=echo nfunc=say 'text=10000:from pika' 2>&1");
    EXPECT_EQ(out, "10000:from pika\n");
}

// A correlation_id is bytes: one with a NUL in it (a binary id) comes back whole, on each way
// of sending.
TEST_F(RepliesTest, ReplyToCarriesABinaryCorrelationIdWhole) {
    const std::string own = std::string(kReplies) + ".own";
    ASSERT_TRUE(_amqp.DeclareQueue(own));
    const std::string id("\x01\0id\0", 5);
    for (const char* way : {"per_reply", "pipelined"}) {
        SCOPED_TRACE(way);
        const pid_t pid = StartWith(std::string("reply_to=honour\nreply_connection=") + way + "\n");
        ASSERT_GT(pid, 0);
        const std::string guid = NewGuid();
        const std::string request =
            RequestBody(guid, kPlatform, {{"comtype=echo", "nfunc=say", "text=x"}});
        ASSERT_TRUE(_amqp.PublishReplyTo(kQueue, request, own, id));
        std::string body;
        TestProperties props;
        ASSERT_TRUE(_amqp.Get(own, &body, 30000, &props));
        EXPECT_EQ(ParseReply(body).guid, guid);
        EXPECT_EQ(props.correlation_id, id);
        Stop(pid);
    }
    _amqp.DeleteQueue(own);
}

// The pipelined thread publishes what worker processes answered, to a requester's reply_to
// queue with its correlation_id.
TEST_F(RepliesTest, PipelinedHonouredReplyToFromWorkerProcesses) {
    const pid_t pid = StartWith("reply_connection=pipelined\nreply_to=honour\nisolation=process\n");
    ASSERT_GT(pid, 0);
    const std::string out = testutil::Capture(
        std::string("/usr/bin/python3 '") + TEST_SOURCE_DIR + "/tools/rpc_client_example.py'" +
        " --port " + std::to_string(TEST_AMQP_PORT) + " --password guest --timeout 30" +
        " --queue " + kQueue + " comtype=tvisolate nfunc=pid 2>&1");
    ASSERT_EQ(out.rfind("10000:", 0), 0u) << out;
    EXPECT_NE(atoi(out.c_str() + 6), pid) << "the call ran in the daemon";
}

// server lists a dead host first: the consumer and the publishing thread both go on to the
// live one.
TEST_F(RepliesTest, PipelinedRepliesPassADeadFirstHost) {
    _conf = WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()));
    const std::string dead = "127.0.0.1:" + std::to_string(ClosedPort());
    _conf.replace(_conf.find("server=127.0.0.1"), 16, "server=" + dead + ",127.0.0.1");
    testutil::WriteAll(TOLVANE_MQ_CONF, _conf + "reply_connection=pipelined\n");
    ASSERT_GT(Start(), 0);
    std::set<std::string> sent, answered;
    EXPECT_TRUE(Burst(50, &sent, &answered)) << "two replies";
    EXPECT_EQ(answered, sent);
    EXPECT_NE(ServiceLog().find(dead), std::string::npos) << "the dead host is named";
}

TEST_F(RepliesTest, UnloggedParamsKeepSecretsOutOfTheLog) {
    ASSERT_GT(StartWith("log_params=no\n"), 0);
    EXPECT_EQ(Ask("comtype=echo nfunc=say text=done secret=tv-s3cret").output, "done");
    EXPECT_TRUE(WaitFor(
        [] { return ServiceLog().find("] comtype=echo nfunc=say\n") != std::string::npos; }, 5000));
    EXPECT_EQ(ServiceLog().find("tv-s3cret"), std::string::npos) << ServiceLog();
}

}  // namespace
