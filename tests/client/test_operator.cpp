// What an operator reaches for around the running daemon: /metrics read by Prometheus's own
// parser while requests are answered, /healthz and systemd's notifications following the
// consumer through a broker stop, and --check-config on settings files good and bad.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>
#include <map>
#include <memory>
#include <sstream>

#include "client/metrics.h"
#include "core/stats.h"
#include "daemon_fixture.h"
#include "relay.h"

using testutil::Capture;
using testutil::TempDir;

namespace {

const int kMetricsPort = TEST_AMQP_PORT + 6;
const int kHealthPort = TEST_AMQP_PORT + 7;
// The chaos node's ports (AMQP, and distribution one above): the tests never run side by side
// (HOME), and the metrics ports stay clear of the distribution port.
const int kNodePort = TEST_AMQP_PORT + 4;

// The metrics text at `url` through prometheus_client's text parser: "name{k=v,...}" -> value.
std::map<std::string, double> Parse(const std::string& url) {
    const std::string script =
        "import sys, urllib.request\n"
        "from prometheus_client.parser import text_string_to_metric_families as parse\n"
        "text = urllib.request.urlopen(sys.argv[1], timeout=5).read().decode()\n"
        "for f in parse(text):\n"
        "    for s in f.samples:\n"
        "        labels = ','.join(k + '=' + v.encode('unicode_escape').decode() for k, v in "
        "sorted(s.labels.items()))\n"
        "        print(s.name + '{' + labels + '} ' + repr(s.value))\n";
    std::istringstream out(Capture("/usr/bin/python3 -c \"" + script + "\" '" + url + "' 2>&1"));
    std::map<std::string, double> samples;
    std::string name;
    double value;
    while (out >> name >> value) samples[name] = value;
    return samples;
}

std::map<std::string, double> Scrape(int port) {
    return Parse("http://127.0.0.1:" + std::to_string(port) + "/metrics");
}

// The HTTP status of /healthz at `port`; 0 when nothing answers.
int Health(int port) {
    const std::string script =
        "import sys, urllib.request, urllib.error\n"
        "try: print(urllib.request.urlopen(sys.argv[1], timeout=5).status)\n"
        "except urllib.error.HTTPError as e: print(e.code)\n"
        "except OSError: print(0)\n";
    return atoi(Capture("/usr/bin/python3 -c \"" + script +
                        "\" http://127.0.0.1:" + std::to_string(port) + "/healthz")
                    .c_str());
}

// A TCP connection from the loopback address `from` to 127.0.0.1:`port`; -1 when refused.
int ConnectFrom(const char* from, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, from, &addr.sin_addr);
    sockaddr_in to = addr;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Answered {
    int status = 0;  // 0: no whole answer within the time
    std::string body;
};

// GET `path` over HTTP/1.0 from 127.0.0.1, read to the server's close within `limitMs`.
Answered Get(int port, const std::string& path, int limitMs) {
    Answered got;
    const int fd = ConnectFrom("127.0.0.1", port);
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        if (fd >= 0) close(fd);
        return got;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::string text;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            const size_t end = text.find("\r\n\r\n");
            if (n == 0 && end != std::string::npos && text.rfind("HTTP/1.", 0) == 0) {
                got.status = atoi(text.c_str() + text.find(' ') + 1);
                got.body = text.substr(end + 4);
            }
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

// Room for the test's own connections and for the daemon's, which it inherits.
void RaiseDescriptorLimit(rlim_t wanted) {
    rlimit files = {};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur >= wanted) return;
    files.rlim_cur = std::min(wanted, files.rlim_max);
    setrlimit(RLIMIT_NOFILE, &files);
}

class Metrics : public RoutedDaemonTest {
protected:
    Metrics() : RoutedDaemonTest("tolvane.t.metrics", "tolvane.t.metrics.out", "tolvane.t.m.r") {}
};

TEST_F(Metrics, CountersAndCallDurationsMoveAsRequestsAreAnswered) {
    ASSERT_GT(StartWith("metrics_listen=127.0.0.1:" + std::to_string(kMetricsPort) + "\n"), 0);
    ASSERT_TRUE(Answers(_amqp, _queue));  // a count-0 request: no plug-in call
    std::map<std::string, double> before = Scrape(kMetricsPort);
    ASSERT_EQ(before.count("tolvane_requests_received_total{}"), 1u) << ServiceLog();
    EXPECT_EQ(before["tolvane_consumer_connected{}"], 1);
    ASSERT_EQ(before.count("tolvane_reply_connection_blocked{}"), 1u);
    EXPECT_EQ(before["tolvane_reply_connection_blocked{}"], 0);
    auto build = before.lower_bound("tolvane_build_info{version=");
    ASSERT_NE(build, before.end());
    EXPECT_EQ(build->first.rfind("tolvane_build_info{version=", 0), 0u);
    EXPECT_EQ(build->second, 1);
    EXPECT_EQ(before.count("tolvane_call_duration_seconds_count{comtype=echo}"), 0u);

    const std::string q = "--queue " + _queue + " ";
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=say text=10000:a").output, "10000:a");
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=echo nfunc=boom").output,
              "Try Catch Unknow error.");
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=nosuch nfunc=x").output, "get the method failed.");
    std::map<std::string, double> after = Scrape(kMetricsPort);
    const char* moved[] = {"tolvane_requests_received_total{}", "tolvane_replies_sent_total{}"};
    for (const char* name : moved) EXPECT_EQ(after[name] - before[name], 3) << name;
    EXPECT_EQ(after["tolvane_plugin_failures_total{}"] - before["tolvane_plugin_failures_total{}"],
              2);
    // Both echo calls reached the plug-in, the missing one did not.
    EXPECT_EQ(after["tolvane_call_duration_seconds_count{comtype=echo}"], 2);
    EXPECT_EQ(after["tolvane_call_duration_seconds_bucket{comtype=echo,le=+Inf}"], 2);
    EXPECT_EQ(after.count("tolvane_call_duration_seconds_count{comtype=nosuch}"), 0u);
    EXPECT_EQ(after["tolvane_jobs_running{}"], 0);
}

// A liveness probe gets through beside a few hundred idle connections: the peer holding
// hundreds more than the endpoint's room keeps only its share of it.
TEST_F(Metrics, ProbesAndScrapesAnswerBesideHundredsOfIdleConnections) {
    RaiseDescriptorLimit(4096);
    ASSERT_GT(StartWith("metrics_listen=127.0.0.1:" + std::to_string(kMetricsPort) + "\n"), 0);
    ASSERT_TRUE(WaitFor([] { return Get(kMetricsPort, "/healthz", 2000).status == 200; }, 15000))
        << ServiceLog();
    std::vector<int> idle;
    idle.reserve(700);
    for (int i = 0; i < 600; ++i) idle.push_back(ConnectFrom("127.0.0.2", kMetricsPort));
    for (int i = 0; i < 100; ++i) idle.push_back(ConnectFrom("127.0.0.1", kMetricsPort));
    EXPECT_EQ(std::count(idle.begin(), idle.end(), -1), 0);

    // Answers come in milliseconds; two seconds is slack for a loaded machine, and still
    // short of the idle time-out that would otherwise free a slot.
    int answered = 0;
    for (int i = 0; i < 12; ++i) answered += Get(kMetricsPort, "/healthz", 2000).status == 200;
    EXPECT_EQ(answered, 12);
    const Answered scrape = Get(kMetricsPort, "/metrics", 2000);
    EXPECT_EQ(scrape.status, 200);
    EXPECT_NE(scrape.body.find("\ntolvane_build_info{version="), std::string::npos);
    for (int fd : idle) close(fd);
}

// A comtype long enough that a histogram line outgrows any small fixed buffer: the scrape
// stays whole, or Prometheus rejects all of it.
TEST_F(Metrics, ALongComtypeKeepsEveryLineWhole) {
    const std::string comtype(120, 'c');
    const std::string plugin = TOLVANE_HOME "/lib/lib" + comtype + ".so";
    ASSERT_EQ(symlink("libecho.so", plugin.c_str()), 0);
    ASSERT_GT(StartWith("metrics_listen=127.0.0.1:" + std::to_string(kMetricsPort) + "\n"), 0);
    const std::string q = "--queue " + _queue + " ";
    EXPECT_EQ(Call(TEST_AMQP_PORT, q + "comtype=" + comtype + " nfunc=say text=1:a").output, "1:a");
    std::map<std::string, double> m = Scrape(kMetricsPort);
    unlink(plugin.c_str());
    const std::string series = "{comtype=" + comtype + "}";
    EXPECT_EQ(m["tolvane_call_duration_seconds_count" + series], 1) << ServiceLog();
    EXPECT_EQ(m["tolvane_call_duration_seconds_bucket{comtype=" + comtype + ",le=+Inf}"], 1);
    EXPECT_GT(m["tolvane_call_duration_seconds_sum" + series], 0);
    auto build = m.lower_bound("tolvane_build_info{version=");
    ASSERT_NE(build, m.end()) << "the text after the histogram is read too";
    EXPECT_EQ(build->first.rfind("tolvane_build_info{version=", 0), 0u);
}

TEST(CallHistogram, TakesTheFirstHundredComtypesThenOtherWithLabelsEscaped) {
    CountCall("a\"b\\c\nd", 0.002);
    for (int i = 0; i < kMaxComtypes + 5; ++i) CountCall("t" + std::to_string(i), 20);
    TempDir dir;
    ASSERT_TRUE(testutil::WriteAll(dir.file("metrics"), MetricsText()));
    std::map<std::string, double> m = Parse("file://" + dir.file("metrics"));
    const std::string name = "tolvane_call_duration_seconds";
    EXPECT_EQ(m[name + "_bucket{comtype=a\"b\\\\c\\nd,le=0.001}"], 0);
    EXPECT_EQ(m[name + "_bucket{comtype=a\"b\\\\c\\nd,le=0.005}"], 1);
    EXPECT_EQ(m[name + "_count{comtype=t98}"], 1);
    EXPECT_EQ(m.count(name + "_count{comtype=t99}"), 0u) << "the hundredth label is the first one";
    EXPECT_EQ(m[name + "_count{comtype=other}"], 6);
    EXPECT_EQ(m[name + "_bucket{comtype=other,le=10}"], 0);
    EXPECT_EQ(m[name + "_sum{comtype=other}"], 120);
}

// A unix datagram socket standing in for systemd's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        _fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        _bound = bind(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval wait = {1, 0};
        setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { close(_fd); }

    // Waits up to `timeoutMs` for a message with the line `line`; what came meanwhile is kept.
    bool Await(const std::string& line, int timeoutMs) {
        return WaitFor(
            [&] {
                char buf[4096];
                const ssize_t n = recv(_fd, buf, sizeof buf, 0);
                if (n > 0) _got += "\n" + std::string(buf, n) + "\n";
                return _got.find("\n" + line + "\n") != std::string::npos;
            },
            timeoutMs, 1);
    }
    bool Bound() const { return _bound; }
    const std::string& Got() const { return _got; }
    void Forget() { _got.clear(); }

private:
    int _fd;
    bool _bound;
    std::string _got;
};

// A node of the test's own, which it may stop under the daemon.
class OwnNode {
public:
    OwnNode() { _started = Script("start") == 0; }
    ~OwnNode() { Script("stop"); }
    bool started() const { return _started; }
    bool Stop() { return Script("stop") == 0; }

private:
    static int Script(const std::string& verb) {
        return TempDir::Run("TOLVANE_BROKER_NODE=tolvane-operator-" +
                            std::to_string(TEST_AMQP_PORT) +
                            "@localhost TOLVANE_BROKER_PORT=" + std::to_string(kNodePort) +
                            " TOLVANE_BROKER_DIR='" TEST_BINARY_DIR "/broker-operator' '" +
                            TEST_SOURCE_DIR "/scripts/broker.sh' " + verb + " >/dev/null 2>&1");
    }
    bool _started;
};

// Readiness, the watchdog's keep-alive and /healthz follow the consumer through a broker
// stop, and a stop of the daemon is announced.
TEST_F(DaemonTest, ReadinessWatchdogAndHealthFollowTheConsumer) {
    OwnNode node;
    ASSERT_TRUE(node.started());
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect(kNodePort) && amqp.DeclareQueue("tolvane.t.notify"));
    WriteConf("tolvane.t.notify", "127.0.0.1:" + std::to_string(ClosedPort()), kNodePort);
    testutil::WriteAll(TOLVANE_MQ_CONF, testutil::ReadAll(TOLVANE_MQ_CONF) +
                                            "metrics_listen=127.0.0.1:" +
                                            std::to_string(kHealthPort) + "\nreconnect_pause=1\n");
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    ASSERT_TRUE(notify.Bound());
    const pid_t pid =
        Launch({"env", "NOTIFY_SOCKET=" + dir.file("notify"), "WATCHDOG_USEC=2000000", kDaemon},
               TOLVANE_PID_FILE);
    ASSERT_GT(pid, 0);

    EXPECT_TRUE(notify.Await("READY=1", 15000)) << notify.Got();
    EXPECT_NE(notify.Got().find("STATUS=counters: received=0 "), std::string::npos);
    EXPECT_TRUE(notify.Await("WATCHDOG=1", 3000)) << notify.Got();
    EXPECT_EQ(Health(kHealthPort), 200);

    ASSERT_TRUE(node.Stop());
    EXPECT_TRUE(WaitFor([] { return Health(kHealthPort) == 503; }, 15000));
    // Still fed while it reconnects in vain: only a loop that hangs is to be restarted.
    notify.Forget();
    EXPECT_TRUE(notify.Await("WATCHDOG=1", 3000)) << notify.Got();
    EXPECT_TRUE(notify.Await("STATUS=the broker connection is lost: reconnecting in 1 s", 3000));

    Stop(pid);
    EXPECT_TRUE(notify.Await("STOPPING=1", 5000)) << notify.Got();
}

// Hosts that accept and never answer, each a handshake time-out of 10 s: the watchdog is fed
// through the walk, and a stop ends it at once rather than after the hosts left.
TEST_F(DaemonTest, WalkOverSilentHostsFeedsTheWatchdogAndEndsAtAStop) {
    std::vector<std::unique_ptr<Relay>> silent;
    std::string server;
    for (int i = 0; i < 4; ++i) {
        silent.emplace_back(new Relay(TEST_AMQP_PORT, "127.0.0.1", Relay::kSilent));
        server += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(silent[i]->port());
    }
    std::string conf = WriteConf("tolvane.t.walk", "127.0.0.1:" + std::to_string(ClosedPort()));
    conf.replace(conf.find("server=127.0.0.1"), 16, "server=" + server);
    testutil::WriteAll(TOLVANE_MQ_CONF, conf);
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    ASSERT_TRUE(notify.Bound());
    const pid_t pid =
        Launch({"env", "NOTIFY_SOCKET=" + dir.file("notify"), "WATCHDOG_USEC=2000000", kDaemon},
               TOLVANE_PID_FILE);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return silent[0]->Accepted() > 0; }, 10000));
    for (int i = 0; i < 4; ++i) {  // 2 s between pings at most, over the first host's time-out
        notify.Forget();
        EXPECT_TRUE(notify.Await("WATCHDOG=1", 2000)) << notify.Got();
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([&] { return !probe::IsAlive(pid); }, 3000)) << "still walking the hosts";
}

struct Checked {
    int status;
    std::string out, err;
};

Checked CheckConfig(const TempDir& home, const std::string& conf) {
    TempDir::Run("mkdir -p '" + home.file("cfg") + "'");
    testutil::WriteAll(home.file("cfg/mq.conf"), conf);
    const std::string err = home.file("err");
    std::string out =
        Capture(kDaemon + " --check-config --home '" + home.path() + "' 2>'" + err + "'; echo $?");
    const size_t nl = out.rfind('\n', out.size() - 2) + 1;  // npos + 1 is 0
    return {atoi(out.c_str() + nl), out.substr(0, nl), testutil::ReadAll(err)};
}

TEST(CheckConfig, ReportsEachLineTheDaemonWouldNotTakeAndStartsNothing) {
    TempDir home;
    const std::string sample = testutil::ReadAll(TEST_SOURCE_DIR "/packaging/mq.conf.sample");
    Checked good = CheckConfig(home, sample);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out.find(home.file("cfg/mq.conf") + ": "), 0u) << good.out;
    EXPECT_NE(good.out.find(" settings, every one taken as written\n"), std::string::npos);
    EXPECT_EQ(good.err, "");

    Checked bad = CheckConfig(home,
                              "# a comment, then a blank line\n\nserver=127.0.0.1\n"
                              "pwd=a=b\nworkers=ten\nprot=5672\nport=70000\n");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "mq.conf:4: 2 \"=\": not a setting (a setting has exactly one)\n"
              "mq.conf:5: workers=\"ten\" is not a number\n"
              "mq.conf:6: unknown key \"prot\" (did you mean \"port\"?)\n"
              "mq.conf:7: port=\"70000\" is out of range 1..65535\n");
    EXPECT_FALSE(testutil::Exists(home.file("log"))) << "the daemon did not start";
}

}  // namespace
