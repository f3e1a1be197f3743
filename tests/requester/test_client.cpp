// libtolvane-client against the real broker and daemon: calls and chains, many calls in
// flight on one client, time-outs, refusals before anything is sent, a lost connection.
#include <tolvane/client.h>

#include <sstream>

#include "daemon_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const char kQueue[] = "tolvane.t.lib", kPlatform[] = "tolvane.t.lib.platform";

tolvane::Options Options(const std::string& queue = kQueue) {
    tolvane::Options o;
    o.port = TEST_AMQP_PORT;
    o.pwd = "guest";
    o.queue = queue;
    o.platform = kPlatform;
    return o;
}

tolvane::Record Say(const std::string& text) {
    return {{"comtype", "echo"}, {"nfunc", "say"}, {"text", text}};
}

// The server-named (private) queues on the broker.
int PrivateQueues() {
    std::istringstream names(RabbitmqctlOutput("list_queues name --no-table-headers"));
    int n = 0;
    for (std::string name; names >> name;) n += name.compare(0, 8, "amq.gen-") == 0;
    return n;
}

class ClientTest : public RoutedDaemonTest {
protected:
    ClientTest() : RoutedDaemonTest(kQueue, kPlatform, "tolvane.t.lib.replies") {}
};

TEST_F(ClientTest, OneCallAndAChain) {
    ASSERT_GT(StartWith(""), 0);
    tolvane::Client client(Options());
    tolvane::Result one = client.Call({Say("10000:hello")}, seconds(30));
    ASSERT_TRUE(one) << one.error;
    EXPECT_EQ(one.reply.text, "10000:hello");
    EXPECT_TRUE(one.reply.ok);
    EXPECT_EQ(one.where, "127.0.0.1:" + std::to_string(TEST_AMQP_PORT));

    tolvane::Result chain =
        client.Call({Say("10000:a"), {{"comtype", "server"}, {"nfunc", "x"}}}, seconds(30));
    ASSERT_TRUE(chain) << chain.error;
    EXPECT_EQ(chain.reply.text, "10000:cloudcall arg=[param] nfunc=[x]");
    tolvane::Result failed = client.Call({{{"comtype", "nosuch"}, {"nfunc", "x"}}}, seconds(30));
    ASSERT_TRUE(failed) << "a reply, though not a success";
    EXPECT_FALSE(failed.reply.ok);
}

TEST_F(ClientTest, ThousandCallsInFlightAreEachAnsweredWithTheirOwnReply) {
    ASSERT_GT(StartWith("workers=4\n"), 0);
    tolvane::Client client(Options());
    std::vector<std::future<tolvane::Result>> calls;
    calls.reserve(1000);
    for (int i = 0; i < 1000; ++i) {
        calls.push_back(client.CallAsync({Say("10000:" + std::to_string(i))}, seconds(120)));
    }
    std::set<std::string> guids;
    for (int i = 0; i < 1000; ++i) {
        tolvane::Result r = calls[i].get();
        ASSERT_TRUE(r) << i << ": " << r.error;
        EXPECT_EQ(r.reply.text, "10000:" + std::to_string(i));
        guids.insert(r.reply.guid);
    }
    EXPECT_EQ(guids.size(), 1000u);
}

// Without a daemon on the queue the call times out; the private reply queue goes with the
// client. A queue that does not exist is told at once.
TEST_F(ClientTest, NoDaemonTimesOutAndLeavesNoQueueBehind) {
    const int before = PrivateQueues();
    {
        tolvane::Client client(Options());
        const auto start = std::chrono::steady_clock::now();
        tolvane::Result r = client.Call({Say("x")}, milliseconds(1500));
        EXPECT_EQ(r.failure, tolvane::Failure::kTimeout) << r.error;
        EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1500));
        EXPECT_NE(r.error.find(kQueue), std::string::npos) << r.error;
        EXPECT_EQ(PrivateQueues(), before + 1);
    }
    EXPECT_TRUE(WaitFor([&] { return PrivateQueues() == before; }, 15000));

    tolvane::Client missing(Options("tolvane.t.lib.nosuch"));
    tolvane::Result r = missing.Call({Say("x")}, seconds(60));
    EXPECT_EQ(r.failure, tolvane::Failure::kRefused);
    EXPECT_NE(r.error.find("312 NO_ROUTE"), std::string::npos) << r.error;
}

TEST_F(ClientTest, BadArgumentsAndAnUnreachableBrokerAreTold) {
    tolvane::Options closed = Options();
    closed.port = ClosedPort();
    tolvane::Client client(closed);
    tolvane::Result longRecord = client.Call({Say(std::string(4000, 'x'))}, seconds(5));
    EXPECT_EQ(longRecord.failure, tolvane::Failure::kBadArgument);
    EXPECT_NE(longRecord.error.find("more than the 3999"), std::string::npos) << longRecord.error;
    tolvane::Result nul = client.Call({Say(std::string("a\0b", 3))}, seconds(5));
    EXPECT_EQ(nul.failure, tolvane::Failure::kBadArgument);

    tolvane::Result unreachable = client.Call({Say("x")}, seconds(5));
    EXPECT_EQ(unreachable.failure, tolvane::Failure::kUnreachable);
    EXPECT_EQ(unreachable.where, "127.0.0.1:" + std::to_string(closed.port));
    tolvane::Options wrong = Options();
    wrong.pwd = "wrong";
    tolvane::Result refused = tolvane::Client(wrong).Call({Say("x")}, seconds(10));
    EXPECT_EQ(refused.failure, tolvane::Failure::kRefused) << refused.error;
}

// The broker closing the client's connection, as it does on a restart: the call in flight
// fails at once, and the next call connects again.
TEST_F(ClientTest, ConnectionClosedByTheBrokerFailsCallsInFlightAndReconnects) {
    Rabbitmqctl("add_user tolvane-t-lib lib");
    ASSERT_EQ(Rabbitmqctl("set_permissions -p / tolvane-t-lib '.*' '.*' '.*'"), 0);
    tolvane::Options o = Options();
    o.userName = "tolvane-t-lib";
    o.pwd = "lib";
    tolvane::Client client(o);
    std::future<tolvane::Result> waiting = client.CallAsync({Say("x")}, seconds(120));
    std::string pid;
    ASSERT_TRUE(WaitFor(
        [&] {
            std::istringstream listed(RabbitmqctlOutput("list_connections pid user"));
            for (std::string p, user; listed >> p >> user;)
                if (user == "tolvane-t-lib") pid = p;
            return !pid.empty();
        },
        15000));
    ASSERT_EQ(Rabbitmqctl("close_connection '" + pid + "' 'tolvane.t restart'"), 0);
    ASSERT_EQ(waiting.wait_for(seconds(30)), std::future_status::ready);
    tolvane::Result lost = waiting.get();
    EXPECT_EQ(lost.failure, tolvane::Failure::kConnectionLost);
    EXPECT_NE(lost.error.find("tolvane.t restart"), std::string::npos) << lost.error;

    ASSERT_GT(StartWith(""), 0);
    tolvane::Result after = client.Call({Say("10000:after")}, seconds(30));
    EXPECT_TRUE(after) << after.error;
    EXPECT_EQ(after.reply.text, "10000:after");
}

// The Python package's tests (test_python.py), with the daemon this fixture starts.
TEST_F(ClientTest, PythonPackage) {
    ASSERT_GT(StartWith("workers=4\n"), 0);
    const std::string ctl =
        getuid() == 0 ? "/usr/sbin/rabbitmqctl" : "/usr/lib/rabbitmq/bin/rabbitmqctl";
    const std::string env = std::string("PYTHONPATH='") + TEST_SOURCE_DIR +
                            "/python' TOLVANE_TEST_PORT=" + std::to_string(TEST_AMQP_PORT) +
                            " TOLVANE_TEST_QUEUE=" + kQueue + " TOLVANE_TEST_NODE=" + TEST_NODE +
                            " TOLVANE_TEST_CTL=" + ctl;
    EXPECT_EQ(testutil::TempDir::Run(env + " /usr/bin/python3 '" + TEST_SOURCE_DIR +
                                     "/tests/requester/test_python.py' -v 2>&1"),
              0);
}

// The README's examples, as they stand there, against the daemon's own mq.conf.
TEST_F(ClientTest, ReadmeExamplesRunAsShown) {
    ASSERT_GT(StartWith(""), 0);
    const std::string readme = testutil::ReadAll(std::string(TEST_SOURCE_DIR) + "/README.md");
    const struct {
        std::string source, command, output;
    } examples[] = {
        {"/requester/examples/hello.cpp",
         std::string(TEST_BINARY_DIR) + "/tests/requester/example_hello",
         "10000:hello ok=1\n0 1 2 3 4 5 6 7 8 9 \n"},
        {"/python/examples/hello.py",
         "PYTHONPATH='" + std::string(TEST_SOURCE_DIR) + "/python' /usr/bin/python3 '" +
             TEST_SOURCE_DIR + "/python/examples/hello.py'",
         "10000:hello ok=1\n0 1 2 3 4 5 6 7 8 9\n"},
    };
    for (const auto& e : examples) {
        SCOPED_TRACE(e.source);
        const std::string code = testutil::ReadAll(TEST_SOURCE_DIR + e.source);
        EXPECT_NE(readme.find(code), std::string::npos) << "the README shows the file as it is";
        EXPECT_EQ(testutil::Capture(e.command + " " TOLVANE_MQ_CONF " 2>&1"), e.output);
    }
}

TEST(ClientOptions, ReadFromASettingsFile) {
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::WriteAll(dir.file("mq.conf"),
                                   "# the daemon's\nserver=a,b:5673\nport=5671\nworkers=8\n"
                                   "queue=q\ntls=yes\ntls_verify=no\nvhost=\n"));
    tolvane::Options o;
    std::string error;
    ASSERT_TRUE(tolvane::ReadOptions(dir.file("mq.conf"), &o, &error)) << error;
    EXPECT_EQ(o.server, "a,b:5673");
    EXPECT_EQ(o.port, 5671);
    EXPECT_EQ(o.queue, "q");
    EXPECT_TRUE(o.tls);
    EXPECT_FALSE(o.tls_verify);
    EXPECT_EQ(o.vhost, "/");
    ASSERT_TRUE(testutil::WriteAll(dir.file("bad.conf"), "port=none\n"));
    EXPECT_FALSE(tolvane::ReadOptions(dir.file("bad.conf"), &o, &error));
    EXPECT_EQ(error, dir.file("bad.conf") + ":1: port=\"none\" is out of its form");
}

}  // namespace
