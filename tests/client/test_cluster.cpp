// The daemon beyond one machine, on a three-node cluster of its own (scripts/cluster.sh):
// two daemons on two hosts (network namespaces) sharing one queue, and one daemon riding out
// the loss of the node it consumes from.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "daemon_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testutil::TempDir;

int NodePort(int i) {
    return TEST_CLUSTER_PORT + 2 * i;
}
BrokerSettings NodeLogin(int i) {
    BrokerSettings b;
    b.pwd = "guest";
    b.port = NodePort(i);
    return b;
}
std::string Port(int i) {
    return std::to_string(NodePort(i));
}
double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Every node listens on all addresses, so that the namespaces reach node 1.
int Cluster(const std::string& verb) {
    return TempDir::Run("TOLVANE_CLUSTER_PORT=" + Port(0) +
                        " TOLVANE_CLUSTER_DIR=" TEST_BINARY_DIR
                        "/cluster TOLVANE_BROKER_LISTEN=0.0.0.0 " TEST_SOURCE_DIR
                        "/scripts/cluster.sh " +
                        verb + " > /dev/null");
}

std::string Ctl(int node, const std::string& args) {
    const char* bin = getuid() == 0 ? "/usr/sbin/rabbitmqctl" : "/usr/lib/rabbitmq/bin/rabbitmqctl";
    return testutil::Capture(std::string(bin) + " -q -n tolvane-c" + std::to_string(node) + "-" +
                             Port(0) + "@localhost " + args + " 2>&1");
}

// A host of its own: a network namespace joined to this one by a veth pair, 10.231.N.2 inside
// and 10.231.N.1 (Gateway) outside. Removed at scope end, leftovers of a crashed run at start.
class NetHost {
public:
    explicit NetHost(int n)
        : _ns("tolvane-t" + std::to_string(n)), _veth("tvt" + std::to_string(n)),
          _net("10.231." + std::to_string(n) + ".") {
        Remove();
        std::string cmd = "ip netns add " + _ns;
        for (const std::string& step :
             {"ip link add " + _veth + "h type veth peer name " + _veth + "n netns " + _ns,
              "ip addr add " + _net + "1/24 dev " + _veth + "h", "ip link set " + _veth + "h up",
              In() + "ip addr add " + _net + "2/24 dev " + _veth + "n",
              In() + "ip link set " + _veth + "n up", In() + "ip link set lo up"}) {
            cmd += " && " + step;
        }
        _ok = TempDir::Run(cmd) == 0;
    }
    ~NetHost() { Remove(); }
    bool ok() const { return _ok; }
    std::string In() const { return "ip netns exec " + _ns + " "; }
    std::vector<std::string> Exec() const { return {"ip", "netns", "exec", _ns}; }
    std::string Gateway() const { return _net + "1"; }

private:
    void Remove() {
        TempDir::Run("ip link del " + _veth + "h 2>/dev/null; ip netns del " + _ns +
                     " 2>/dev/null");
    }
    std::string _ns, _veth, _net;
    bool _ok = false;
};

class ClusterTest : public DaemonTest {
protected:
    static void SetUpTestSuite() { _up = Cluster("start") == 0; }
    static void TearDownTestSuite() { Cluster("stop"); }
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_TRUE(_up) << "the cluster did not start";
    }

    // A daemon with a home of its own (settings, the echo plug-in, log) and its pid file,
    // started through the command `prefix` (a namespace's, say); 0 on failure.
    pid_t StartIn(std::vector<std::string> prefix, const std::string& name,
                  const std::string& conf) {
        const std::string home = _homes.file(name), pidFile = home + "/tolvane.pid";
        TempDir::Run("mkdir -p " + home + "/cfg " + home +
                     "/lib && ln -sf " TOLVANE_HOME "/lib/libecho.so " + home + "/lib/");
        testutil::WriteAll(home + "/cfg/mq.conf", conf + "stop_timeout=5\nlookup_host=127.0.0.1:" +
                                                      std::to_string(ClosedPort()) + "\n");
        prefix.insert(prefix.end(), {kDaemon, "--home", home, "--pid-file", pidFile});
        return Launch(prefix, pidFile);
    }

    static bool _up;
    // Both outlive the daemons, which TearDown stops.
    TempDir _homes;
    std::vector<std::unique_ptr<NetHost>> _hosts;
};

bool ClusterTest::_up = false;

TEST_F(ClusterTest, TwoHostsShareOneQueueAndAnswerEachRequestOnce) {
    if (getuid() != 0) GTEST_SKIP() << "network namespaces need root";
    const std::string queue = "tolvane.t.hosts", platform = "tolvane.t.hosts.out";
    const int n = 5000;
    TestAmqp amqp;
    CallClient replies(NodeLogin(1));
    ASSERT_TRUE(amqp.Connect(NodePort(1)) && amqp.DeclareQueue(queue));
    ASSERT_TRUE(replies.Connect(10) && replies.Listen(platform)) << replies.Error();
    // guest may log in over loopback only.
    Ctl(1, "add_user tolvane-net net");
    Ctl(1, "set_permissions -p / tolvane-net '.*' '.*' '.*'");
    for (int h = 1; h <= 2; ++h) {
        _hosts.push_back(std::make_unique<NetHost>(h));
        ASSERT_TRUE(_hosts.back()->ok());
        ASSERT_GT(StartIn(_hosts.back()->Exec(), std::to_string(h),
                          "server=" + _hosts.back()->Gateway() + "\nport=" + Port(1) +
                              "\nuserName=tolvane-net\npwd=net\nqueue=" + queue +
                              "\nreply_connection=per_worker\n"),
                  0);
    }
    // Both consume before the requests come, so that neither takes them all.
    ASSERT_TRUE(WaitFor(
        [&] {
            return Ctl(1, "list_queues name consumers").find(queue + "\t2") != std::string::npos;
        },
        20000));
    for (int i = 0; i < n; ++i) {
        const std::string body = RequestBody("two-" + std::to_string(i), platform,
                                             {{"comtype=echo", "nfunc=say", "text=ok"}});
        ASSERT_TRUE(amqp.Publish("", queue, body));
    }

    std::map<std::string, int> answers;
    std::string guid, text;
    while (replies.WaitReply(answers.size() < size_t(n) ? 15000 : 1000, &guid, &text) == 1) {
        ++answers[guid];
    }
    int twice = 0, ran[2] = {0, 0};
    for (const auto& a : answers) twice += a.second > 1;
    for (int h = 0; h < 2; ++h) {
        const std::string log = ServiceLog(_homes.file(std::to_string(h + 1)));
        for (size_t at = 0; (at = log.find("] two-", at)) != std::string::npos; ++at) ++ran[h];
        EXPECT_GE(ran[h], n / 4) << "host " << h + 1;
    }
    std::cout << "two hosts: " << n << " sent, " << answers.size() << " answered, " << twice
              << " more than once; host 1 ran " << ran[0] << ", host 2 ran " << ran[1] << "\n";
    EXPECT_EQ(answers.size(), size_t(n));
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(ran[0] + ran[1], n);
}

TEST_F(ClusterTest, NodeLossIsRiddenOutWithoutLosingARequest) {
    const std::string queue = "tolvane.t.failover", platform = "tolvane.t.failover.out";
    const int n = 500;  // 20 a second for 25 s
    ASSERT_EQ(Call(NodePort(0), "--declare-queue --quorum --queue " + queue).status, 0);
    EXPECT_NE(Ctl(0, "list_queues name type").find(queue + "\tquorum"), std::string::npos);
    // The requester stays on node 2, where its reply queue lives.
    TestAmqp sender;
    CallClient replies(NodeLogin(2));
    ASSERT_TRUE(sender.Connect(NodePort(2)));
    ASSERT_TRUE(replies.Connect(10) && replies.Listen(platform)) << replies.Error();
    // The first consumer connection goes to the list's first host, node 0.
    ASSERT_GT(
        StartIn({}, "failover",
                "server=127.0.0.1:" + Port(0) + ",127.0.0.1:" + Port(1) + ",127.0.0.1:" + Port(2) +
                    "\nuserName=guest\npwd=guest\n"
                    "queue=" +
                    queue +
                    "\nack_mode=after_reply\n"
                    "reply_connection=per_worker\n"),
        0);
    ASSERT_TRUE(Answers(sender, queue));

    const Clock::time_point start = Clock::now();
    std::atomic<bool> nodeDown{false};
    std::atomic<int> firstAfterLoss{n}, unconfirmed{0};
    std::thread stream([&] {
        for (int i = 0; i < n; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(50 * i));
            if (nodeDown && firstAfterLoss == n) firstAfterLoss = i;
            // A fifth of a second each, so that the loss finds requests in the workers.
            const std::string body = RequestBody("fo-" + std::to_string(i), platform,
                                                 {{"comtype=echo", "nfunc=sleep", "ms=200"}});
            unconfirmed += !sender.Publish("", queue, body);
        }
    });
    Clock::time_point stopAt;
    double stopTook = 0;
    std::thread stopper([&] {
        std::this_thread::sleep_until(start + std::chrono::seconds(5));
        stopAt = Clock::now();
        EXPECT_EQ(Cluster("stop-node 0"), 0);
        stopTook = Seconds(Clock::now() - stopAt);
        nodeDown = true;
    });

    // Resumed: the first answer to a request sent once node 0 was down. Once every request
    // has an answer, a short wait for late duplicates.
    std::map<int, int> answers;
    double resumed = -1;
    std::string guid, text;
    while (replies.WaitReply(answers.size() < size_t(n) ? 30000 : 2000, &guid, &text) == 1) {
        int i = atoi(guid.c_str() + 3);
        ++answers[i];
        if (i >= firstAfterLoss && resumed < 0) resumed = Seconds(Clock::now() - stopAt);
    }
    stream.join();
    stopper.join();

    int duplicated = 0;
    for (const auto& a : answers) duplicated += a.second - 1;
    const int lost = n - int(answers.size());
    std::cout << "failover: " << n << " sent (" << unconfirmed << " unconfirmed), "
              << answers.size() << " answered, " << duplicated << " duplicated, " << lost
              << " lost; resumed " << resumed << " s after the stop of node 0 began (the stop took "
              << stopTook << " s)\n";
    EXPECT_EQ(lost, 0);
    EXPECT_GT(resumed, 0);
    // The consumer connection breaks during the stop; the reconnect pause is 10 s.
    EXPECT_LT(resumed, stopTook + 15);
}

}  // namespace
