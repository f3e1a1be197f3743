// Broker faults under a steady stream of requests: the node killed and started again with its
// data, and the daemon's connections closed by the broker. The daemon must come back by itself
// within its reconnect pause; after_reply answers every request at least once, on_take at most
// once, losing no more than it held. And a stop against a frozen node must still end in time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <atomic>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "client/MQService.h"
#include "daemon_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kQueue[] = "tolvane.t.chaos";
const char kReplies[] = "tolvane.t.chaos.replies";
// Every node has this durable exchange, so the replies still route after a restart.
const char kPlatform[] = "amq.direct";
const int kResumeLimitS = 10 + 5;  // the daemon's reconnect pause and some slack

// A node of its own (killing the shared one would break the tests beside this one); its
// port is apart from test_daemon's own node, so both may run at once.
class ChaosNode {
public:
    static constexpr int kPort = TEST_AMQP_PORT + 4;

    ChaosNode() { _started = Script("start", false) == 0; }
    ~ChaosNode() {
        Signal(SIGCONT);
        Script("stop", false);
    }
    bool started() const { return _started; }

    // SIGSTOP freezes the node's VM: its sockets stay open and it answers nothing. SIGCONT.
    bool Signal(int sig) {
        pid_t beam = PidInFile(_dir + "/pid");
        return beam > 0 && kill(beam, sig) == 0;
    }

    // SIGKILL to the node's VM, then a start that keeps the durable queues and messages.
    bool KillAndRestart() {
        pid_t beam = PidInFile(_dir + "/pid");
        if (beam <= 0 || kill(beam, SIGKILL) != 0) return false;
        WaitFor([&] { return !IsAlive(beam); }, 10000);
        return Script("start", true) == 0;
    }

    // Closes from the broker every connection that process `pid` holds to this node, as
    // close_connection does but in one rabbitmqctl run: a run each takes longer than the
    // daemon's reconnect pause on a busy machine. -1 when the run failed.
    int CloseConnectionsOf(pid_t pid) {
        const std::set<int> ports = PortsOf(pid);
        std::istringstream listed(testutil::Capture(_ctl + "list_connections pid peer_port"));
        std::string pids, conn, peer;  // a header row, if any, names no port
        int closed = 0;
        while (listed >> conn >> peer) {
            if (ports.count(atoi(peer.c_str()))) pids += (closed++ ? ",\"" : "\"") + conn + "\"";
        }
        return testutil::TempDir::Run(_ctl +
                                      "eval '[rabbit_networking:close_connection("
                                      "rabbit_misc:string_to_pid(P), \"chaos\") || P <- [" +
                                      pids + "]].' >/dev/null 2>&1") == 0
                   ? closed
                   : -1;
    }

    // Runs an Erlang expression on the node (application:set_env(...), say); its exit status.
    int Eval(const std::string& expr) {
        return testutil::TempDir::Run(_ctl + "eval '" + expr + ".' >/dev/null 2>&1");
    }

    // The local ports of the connections that process `pid` holds to this node.
    static std::set<int> PortsOf(pid_t pid) { return probe::LocalPortsTo(pid, kPort); }

private:
    int Script(const std::string& verb, bool keepData) {
        return testutil::TempDir::Run(
            "TOLVANE_BROKER_NODE=" + _node + " TOLVANE_BROKER_PORT=" + std::to_string(kPort) +
            " TOLVANE_BROKER_DIST_PORT=" + std::to_string(kPort + 1) + " TOLVANE_BROKER_DIR='" +
            _dir + "' TOLVANE_BROKER_KEEP_DATA=" + (keepData ? "1 '" : "0 '") + TEST_SOURCE_DIR +
            "/scripts/broker.sh' " + verb + " >/dev/null 2>&1");
    }

    const std::string _node = "tolvane-chaos-" + std::to_string(TEST_AMQP_PORT) + "@localhost";
    const std::string _dir = std::string(TEST_BINARY_DIR) + "/broker-chaos";
    const std::string _ctl = std::string(getuid() == 0 ? "/usr/sbin" : "/usr/lib/rabbitmq/bin") +
                             "/rabbitmqctl -q -n " + _node + " ";
    bool _started = false;
};

struct Outcome {
    int sent = 0, answered = 0, duplicated = 0, lost = 0;
    double fault_s = 0, resume_s = -1;  // how long the fault took; from its end to an answer
};

// One fault under a stream of requests "chaos-<n>" from `first` on, about 50 a second, each
// holding a worker for 50 ms. They are persistent and committed, and count as sent once the
// broker confirmed the commit. The resume is the first answer to a request published after
// the fault. Prints the counts.
Outcome Ride(const char* name, int first, const std::function<void()>& fault) {
    std::atomic<int> next{first};
    std::atomic<bool> done{false};
    std::mutex lock;
    std::set<int> sent;
    std::thread stream([&] {
        std::unique_ptr<CPublisher> p;
        for (; !done; ++next, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::string body = RequestBody("chaos-" + std::to_string(next), kPlatform,
                                           {{"comtype=echo", "nfunc=sleep", "ms=50"}});
            if (!p)
                p.reset(
                    new CPublisher("127.0.0.1", "guest", "guest", "/", ChaosNode::kPort, 131072));
            if (!p->PublishMessage("", kQueue, &body[0], body.size())) {
                p.reset();
                continue;
            }
            std::lock_guard<std::mutex> hold(lock);
            sent.insert(next);
        }
    });
    std::map<int, int> replies;
    TestAmqp amqp;
    // Takes replies until one answers request `from` or later; false once none came for quietMs.
    auto take = [&](int from, int quietMs) {
        std::string body;
        while (amqp.Get(kReplies, &body, quietMs)) {
            int n = atoi(ParseReply(body).guid.c_str() + strlen("chaos-"));
            if (++replies[n] == 1 && n >= from) return true;
        }
        return false;
    };
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const Clock::time_point before = Clock::now();
    fault();
    const Clock::time_point after = Clock::now();
    const int from = next;
    Outcome o;
    o.fault_s = std::chrono::duration<double>(after - before).count();
    EXPECT_TRUE(amqp.Connect(ChaosNode::kPort));  // after the fault: the node may have restarted
    if (take(from, kResumeLimitS * 1000)) {
        o.resume_s = std::chrono::duration<double>(Clock::now() - after).count();
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    done = true;
    stream.join();
    take(INT_MAX, 3000);

    o.sent = int(sent.size());
    for (const auto& r : replies) o.duplicated += r.second - 1;
    for (int n : sent) ++(replies.count(n) ? o.answered : o.lost);
    printf(
        "%s: sent %d, answered %d, duplicated %d, lost %d; fault %.1f s, resumed %.1f s "
        "after it\n",
        name, o.sent, o.answered, o.duplicated, o.lost, o.fault_s, o.resume_s);
    return o;
}

TEST_F(DaemonTest, BrokerKillAndClosedConnectionsAreRiddenOut) {
    ChaosNode node;
    ASSERT_TRUE(node.started());
    // Durable, so that the killed node keeps them and the messages in them.
    for (const char* queue : {kQueue, kReplies}) {
        ASSERT_EQ(Call(ChaosNode::kPort, std::string("--declare-queue --queue ") + queue).status,
                  0);
    }
    {
        TestAmqp amqp;
        ASSERT_TRUE(amqp.Connect(ChaosNode::kPort) && amqp.Bind(kReplies, kPlatform, kPlatform));
    }
    auto serve = [&](const std::string& extra) {
        const std::string conf =
            WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()), ChaosNode::kPort);
        testutil::WriteAll(TOLVANE_MQ_CONF, conf +
                                                "reply_connection=per_worker\n"
                                                "plugin_cache=yes\n" +
                                                extra);
        return Start();
    };

    pid_t pid = serve("ack_mode=after_reply\n");
    ASSERT_GT(pid, 0);
    Outcome o = Ride("broker killed, after_reply", 0, [&] { ASSERT_TRUE(node.KillAndRestart()); });
    EXPECT_EQ(o.lost, 0) << "after_reply answers every request at least once";
    // Acknowledgements left from the lost connection once cut every pause short: a busy loop.
    const std::string log = ServiceLog(), attempt = "connect the mq server again";
    int attempts = 0;
    for (size_t at = 0; (at = log.find(attempt, at)) != std::string::npos; at += attempt.size()) {
        ++attempts;
    }
    printf("%d reconnect lines logged while the node was down\n", attempts);
    EXPECT_LE(attempts, o.fault_s / 10 + 2) << "the reconnect pause was not kept";
    EXPECT_TRUE(o.resume_s >= 0 && o.resume_s <= kResumeLimitS) << o.resume_s;
    EXPECT_TRUE(IsAlive(pid));
    Stop(pid);

    pid = serve("ack_mode=on_take\nreconnect_pause=1\n");
    ASSERT_GT(pid, 0);
    int connections = 0;
    o = Ride("connections closed, on_take", 1000000,
             [&] { connections = node.CloseConnectionsOf(pid); });
    printf("closed %d connections of the daemon\n", connections);
    EXPECT_GE(connections, 2) << "the consumer and reply connections";
    EXPECT_EQ(o.duplicated, 0) << "on_take answers every request at most once";
    EXPECT_LE(o.lost, 100 + 10 + 10) << "more lost than intake_limit + workers + replies in flight";
    EXPECT_TRUE(o.resume_s >= 0 && o.resume_s <= 1 + 4) << "reconnect_pause=1: " << o.resume_s;
    EXPECT_TRUE(IsAlive(pid));
    Stop(pid);  // before its node goes
}

// The daemon with --foreground as a child of the test, so that its exit status can be read.
class ForegroundDaemon {
public:
    ForegroundDaemon() : _pid(fork()) {
        if (_pid != 0) return;
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(kDaemon.c_str(), kDaemon.c_str(), "--foreground", static_cast<char*>(nullptr));
        _exit(127);
    }
    ~ForegroundDaemon() {
        if (_pid <= 0 || _reaped) return;
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }
    pid_t pid() const { return _pid; }
    bool Up() {
        return _pid > 0 && WaitFor([&] { return PidInFile() == _pid; }, 10000);
    }
    // SIGTERM, then its exit status once it ended (-1 if not within limitS) and how long it took.
    int Stop(int limitS, double* tookS) {
        const Clock::time_point sent = Clock::now();
        kill(_pid, SIGTERM);
        int status = 0;
        _reaped = WaitFor([&] { return waitpid(_pid, &status, WNOHANG) == _pid; }, limitS * 1000);
        *tookS = std::chrono::duration<double>(Clock::now() - sent).count();
        return _reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t _pid;
    bool _reaped = false;
};

// A node that stops answering must not hold a stop past stop_timeout + 5 s (a unit's
// TimeoutStopSec would end it with SIGKILL): neither when the stop abandons requests at its
// deadline, nor when all is done and only the connections' close waits on the node.
TEST_F(DaemonTest, StopIsBoundedAgainstAFrozenBroker) {
    ChaosNode node;
    ASSERT_TRUE(node.started());
    const char platform[] = "tolvane.t.chaos.out";
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect(ChaosNode::kPort) && DeclareRoute(amqp, kQueue, platform, kReplies));
    const std::string conf =
        WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()), ChaosNode::kPort) +
        "workers=2\nstop_timeout=2\nreply_connection=per_worker\nreconnect_pause=60\n";
    auto send = [&](const std::string& guid, const std::string& func, const std::string& arg) {
        return amqp.Publish("", kQueue,
                            RequestBody(guid, platform, {{"comtype=echo", "nfunc=" + func, arg}}));
    };
    double took = 0;

    // on_take: two calls running (acknowledged when taken) and three waiting (not yet).
    testutil::WriteAll(TOLVANE_MQ_CONF, conf);
    {
        ForegroundDaemon daemon;
        ASSERT_TRUE(daemon.Up());
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(send("hold-" + std::to_string(i), "sleep", "ms=60000"));
        }
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::string log = ServiceLog();
                return amqp.MessageCount(kQueue) == 0 && log.find("hold-0") != std::string::npos &&
                       log.find("hold-1") != std::string::npos;
            },
            10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the two acks go out
        ASSERT_TRUE(node.Signal(SIGSTOP));
        EXPECT_EQ(daemon.Stop(2 + 5, &took), 1) << "abandoned requests; took " << took << " s";
        ASSERT_TRUE(node.Signal(SIGCONT));
    }
    EXPECT_NE(ServiceLog().find("stopped after 2 s: 5 requests abandoned, 2 of them lost"),
              std::string::npos)
        << ServiceLog();
    EXPECT_TRUE(WaitFor([&] { return amqp.MessageCount(kQueue) == 3; }, 10000))
        << "the waiting ones go back: " << amqp.MessageCount(kQueue);
    ASSERT_TRUE(amqp.PurgeQueue(kQueue));

    // Everything answered, the consumer gone (its queue deleted: it waits out its pause), and
    // only the reply connections left to close on the frozen node.
    {
        ForegroundDaemon daemon;
        ASSERT_TRUE(daemon.Up());
        ASSERT_TRUE(send("quick", "say", "text=10000:quick"));
        std::string body;
        ASSERT_TRUE(amqp.Get(kReplies, &body, 10000));
        ASSERT_TRUE(amqp.DeleteQueue(kQueue));
        ASSERT_TRUE(WaitFor([&] { return node.PortsOf(daemon.pid()).size() == 1; }, 10000))
            << "the reply connection alone";
        ASSERT_TRUE(node.Signal(SIGSTOP));
        EXPECT_EQ(daemon.Stop(2 + 5, &took), 0) << "nothing abandoned; took " << took << " s";
        ASSERT_TRUE(node.Signal(SIGCONT));
    }
    EXPECT_NE(ServiceLog().find("did not confirm the close"), std::string::npos) << ServiceLog();
}

// A call longer than the broker's consumer timeout: the broker closes the channel under it and
// delivers the request again. The redelivery must not run it a second time; the one reply of
// the running call settles it.
TEST_F(DaemonTest, RedeliveryOfARequestStillRunningIsNotRunAgain) {
    ChaosNode node;
    ASSERT_TRUE(node.started());
    ASSERT_EQ(node.Eval("application:set_env(rabbit, consumer_timeout, 4000)"), 0);
    ASSERT_EQ(node.Eval("application:set_env(rabbit, channel_tick_interval, 1000)"), 0);
    const char platform[] = "tolvane.t.chaos.long";
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect(ChaosNode::kPort) && DeclareRoute(amqp, kQueue, platform, kReplies));
    testutil::WriteAll(
        TOLVANE_MQ_CONF,
        WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()), ChaosNode::kPort) +
            "ack_mode=after_reply\nreconnect_pause=1\n");
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(amqp.Publish(
        "", kQueue,
        RequestBody("long-call", platform, {{"comtype=echo", "nfunc=sleep", "ms=8000"}})));
    std::string body;
    ASSERT_TRUE(amqp.Get(kReplies, &body, 30000));
    EXPECT_FALSE(amqp.Get(kReplies, &body, 3000)) << "a second reply";
    const std::string log = ServiceLog(), started = "] long-call\n";  // the line a run begins with
    const size_t first = log.find(started);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(started, first + 1), std::string::npos) << "run twice: " << log;
    EXPECT_NE(log.find("the request long-call was delivered again while it runs"),
              std::string::npos);
    Stop(pid);
    EXPECT_EQ(amqp.MessageCount(kQueue), 0) << "the redelivery was acknowledged";
}

// A call past the consumer timeout, under either ack_mode. Under after_reply the broker closes
// the channel under it, and the reconnect pause brings the copy back only after the reply:
// that copy is acknowledged, not run a second time. Under on_take nothing comes back.
TEST_F(DaemonTest, LongCallPastTheConsumerTimeoutRunsOnce) {
    ChaosNode node;
    ASSERT_TRUE(node.started());
    ASSERT_EQ(node.Eval("application:set_env(rabbit, consumer_timeout, 4000)"), 0);
    ASSERT_EQ(node.Eval("application:set_env(rabbit, channel_tick_interval, 1000)"), 0);
    const char platform[] = "tolvane.t.chaos.once";
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect(ChaosNode::kPort) && DeclareRoute(amqp, kQueue, platform, kReplies));
    for (const bool afterReply : {false, true}) {
        const std::string mode = afterReply ? "ack_mode=after_reply\n" : "ack_mode=on_take\n";
        SCOPED_TRACE(mode);
        const std::string guid = afterReply ? "once-reply" : "once-take";
        testutil::WriteAll(
            TOLVANE_MQ_CONF,
            WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()), ChaosNode::kPort) +
                mode + "reconnect_pause=5\n");
        pid_t pid = Start();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(amqp.Publish(
            "", kQueue, RequestBody(guid, platform, {{"comtype=echo", "nfunc=sleep", "ms=7000"}})));
        std::string body;
        ASSERT_TRUE(amqp.Get(kReplies, &body, 30000));
        if (afterReply) {
            EXPECT_TRUE(WaitFor(
                [&] {
                    return ServiceLog().find("the request " + guid +
                                             " was delivered again after it was answered") !=
                           std::string::npos;
                },
                20000));
        }
        EXPECT_FALSE(amqp.Get(kReplies, &body, 3000)) << "a second reply";
        const std::string log = ServiceLog(), started = "] " + guid + "\n";
        const size_t first = log.find(started);
        EXPECT_NE(first, std::string::npos);
        EXPECT_EQ(log.find(started, first + 1), std::string::npos) << "run twice: " << log;
        Stop(pid);
        EXPECT_EQ(amqp.MessageCount(kQueue), 0) << "the copy was acknowledged";
        ASSERT_TRUE(amqp.PurgeQueue(kQueue));
    }
}

}  // namespace
