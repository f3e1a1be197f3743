// The daemon and tolvane-call over TLS, against a node of the test's own that listens on TLS
// only, with throw-away certificates from scripts/tls-certs.sh (openssl): a CA, the broker's
// (DNS:localhost and IP:127.0.0.1), a second CA's for the same name, a client certificate.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon_fixture.h"
#include "tolvane/client.h"

namespace {

using testutil::Capture;
using testutil::TempDir;
using testutil::WriteAll;

const int kTlsPort = TEST_AMQP_PORT + 6;
const std::string kNode = "tolvane-tls-" + std::to_string(kTlsPort) + "@localhost";
const std::string kCerts = std::string(TEST_BINARY_DIR) + "/tls-certs";
const char kQueue[] = "tolvane.t.tls";

std::string Cert(const std::string& name) {
    return kCerts + "/" + name;
}

// ca and other: two CAs; broker and impostor: "localhost" by each; client: by ca.
bool MakeCertificates() {
    return system(("'" + std::string(TEST_SOURCE_DIR) + "/scripts/tls-certs.sh' '" + kCerts +
                   "' >/dev/null 2>&1")
                      .c_str()) == 0;
}

std::string Ctl(const std::string& args) {
    const char* bin = getuid() == 0 ? "/usr/sbin/rabbitmqctl" : "/usr/lib/rabbitmq/bin/rabbitmqctl";
    return Capture(std::string(bin) + " -q -n " + kNode + " " + args + " 2>&1");
}

// `verify`: the node's TOLVANE_BROKER_TLS_VERIFY; "stop" stops it.
bool Node(const std::string& verb, const std::string& verify = "verify_peer") {
    const std::string env =
        "TOLVANE_BROKER_NODE=" + kNode +
        " TOLVANE_BROKER_PORT=0 TOLVANE_BROKER_TLS_PORT=" + std::to_string(kTlsPort) +
        " TOLVANE_BROKER_DIST_PORT=" + std::to_string(kTlsPort + 1) + " TOLVANE_BROKER_DIR='" +
        TEST_BINARY_DIR + "/tls-broker' TOLVANE_BROKER_TLS_CA='" + Cert("ca.pem") +
        "' TOLVANE_BROKER_TLS_CERT='" + Cert("broker.pem") + "' TOLVANE_BROKER_TLS_KEY='" +
        Cert("broker.key") + "' TOLVANE_BROKER_TLS_VERIFY=" + verify;
    return system(
               (env + " '" + TEST_SOURCE_DIR + "/scripts/broker.sh' " + verb + " >/dev/null 2>&1")
                   .c_str()) == 0;
}

BrokerSettings TlsBroker() {
    BrokerSettings b;
    b.server = "localhost";
    b.port = kTlsPort;
    b.pwd = "guest";
    b.tls.on = true;
    b.tls.ca_file = Cert("ca.pem");
    b.tls.cert_file = Cert("client.pem");
    b.tls.key_file = Cert("client.key");
    return b;
}

// One node per suite: its TLS settings are the node's, fixed at its start.
class TlsTest : public DaemonTest {
protected:
    static void StartNode(const char* verify) {
        ASSERT_TRUE(MakeCertificates()) << "scripts/tls-certs.sh failed";
        ASSERT_TRUE(Node("start", verify)) << "the TLS node did not start";
    }
    static void TearDownTestSuite() { Node("stop"); }

    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_TRUE(_amqp.Connect(TlsBroker()));
        ASSERT_TRUE(_amqp.DeclareQueue(kQueue) && _amqp.PurgeQueue(kQueue));
    }

    // Starts the daemon on the TLS port with `extra` lines after the test settings.
    pid_t StartWith(const std::string& extra) {
        const std::string conf =
            WriteConf(kQueue, "127.0.0.1:" + std::to_string(ClosedPort()), kTlsPort) +
            "server=localhost\ntls=yes\ntls_ca_file=" + Cert("ca.pem") + "\n" + extra;
        WriteAll(TOLVANE_MQ_CONF, conf);
        return Start();
    }

    // The daemon logged the refusal with its reason, and consumes nothing.
    void ExpectRefused(const std::string& reason) {
        EXPECT_TRUE(WaitFor([&] { return ServiceLog().find(reason) != std::string::npos; }, 15000))
            << ServiceLog();
        const std::string log = ServiceLog();
        EXPECT_NE(log.find("the connection may lose,connect the mq server again..."),
                  std::string::npos);
        EXPECT_EQ(Ctl("list_consumers queue_name --no-table-headers"), "");
    }

    TestAmqp _amqp;
};

class TlsVerifiedTest : public TlsTest {
protected:
    static void SetUpTestSuite() { StartNode("verify_peer"); }
};

TEST_F(TlsVerifiedTest, DaemonServesOverVerifiedTlsAndTolvaneCallCallsOverIt) {
    ASSERT_GT(StartWith(""), 0);
    ASSERT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
    const CallOutcome call =
        Call(kTlsPort, "--server localhost --tls --tls-ca " + Cert("ca.pem") + " --queue " +
                           kQueue + " comtype=echo nfunc=say text=10000:over-tls");
    EXPECT_EQ(call.status, 0) << call.output;
    EXPECT_EQ(call.output, "10000:over-tls");
    // The test's connection, the consumer, and the replies' (per reply: gone again).
    const std::string ssl = Ctl("list_connections ssl --no-table-headers");
    EXPECT_NE(ssl.find("true"), std::string::npos);
    EXPECT_EQ(ssl.find("false"), std::string::npos) << ssl;
}

// The pipelined publishing thread opens its kept connection over TLS too.
TEST_F(TlsVerifiedTest, PipelinedRepliesGoOverTls) {
    const pid_t pid = StartWith("reply_connection=pipelined\nack_mode=after_reply\n");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
    EXPECT_EQ(probe::LocalPortsTo(pid, kTlsPort).size(), 2u) << "the consumer and the publisher";
    const std::string ssl = Ctl("list_connections ssl --no-table-headers");
    EXPECT_EQ(ssl.find("false"), std::string::npos) << ssl;
}

// The requesters' libraries over TLS with the private CA: C++ and Python.
TEST_F(TlsVerifiedTest, RequesterLibrariesCallOverVerifiedTls) {
    ASSERT_GT(StartWith(""), 0);
    const std::string keys =
        "server=localhost\nport=" + std::to_string(kTlsPort) + "\npwd=guest\nqueue=" + kQueue +
        "\ntls=yes\ntls_ca_file=" + Cert("ca.pem") + "\ntls_cert_file=" + Cert("client.pem") +
        "\ntls_key_file=" + Cert("client.key") + "\n";
    TempDir dir;
    ASSERT_TRUE(WriteAll(dir.file("client.conf"), keys));
    tolvane::Options options;
    std::string error;
    ASSERT_TRUE(tolvane::ReadOptions(dir.file("client.conf"), &options, &error)) << error;
    tolvane::Client client(options);
    tolvane::Result r = client.Call({{{"comtype", "echo"}, {"nfunc", "say"}, {"text", "10000:c"}}},
                                    std::chrono::seconds(30));
    EXPECT_TRUE(r) << r.error;
    EXPECT_EQ(r.reply.text, "10000:c");
    const std::string python = "PYTHONPATH='" + std::string(TEST_SOURCE_DIR) +
                               "/python' /usr/bin/python3 -c '"
                               "import tolvane; c = tolvane.Client.from_settings(\"" +
                               dir.file("client.conf") +
                               "\"); "
                               "print(c.call({\"comtype\": \"echo\", \"nfunc\": \"say\", \"text\": "
                               "\"10000:p\"}, 30).text)' 2>&1";
    EXPECT_EQ(Capture(python), "10000:p\n");
}

TEST_F(TlsVerifiedTest, BrokerCertificateOfAnotherCaIsRefused) {
    ASSERT_GT(StartWith("tls_ca_file=" + Cert("other.pem") + "\n"), 0);
    ExpectRefused(
        "the broker's certificate does not verify: self-signed certificate in "
        "certificate chain");
}

// librabbitmq compares DNS names only: the address the certificate lists does not count.
TEST_F(TlsVerifiedTest, HostNameTheCertificateDoesNotNameIsRefused) {
    ASSERT_GT(StartWith("server=127.0.0.1\n"), 0);
    ExpectRefused("the broker's certificate does not name \"127.0.0.1\"");
}

TEST_F(TlsVerifiedTest, PasswordFileHoldingEqualsSignsLogsIn) {
    const std::string password = "s=cr=t ";
    ASSERT_EQ(Ctl("add_user tlsuser '" + password + "'").find("Error"), std::string::npos);
    Ctl("set_permissions -p / tlsuser '.*' '.*' '.*'");
    TempDir secrets;
    ASSERT_TRUE(WriteAll(secrets.file("pwd"), password + "\nsecond line\n"));
    ASSERT_EQ(chmod(secrets.file("pwd").c_str(), 0644), 0);
    ASSERT_GT(StartWith("userName=tlsuser\npwd_file=" + secrets.file("pwd") + "\n"), 0);
    EXPECT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
    EXPECT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
    // Written 0644: named once, though read again for each reply.
    const std::string warning = "pwd_file " + secrets.file("pwd") + " (mode 0644) can be read by";
    const std::string log = ServiceLog();
    EXPECT_NE(log.find(warning), std::string::npos) << log;
    EXPECT_EQ(log.find(warning), log.rfind(warning)) << log;
}

// Read at start only: an edit to "no" (and to a CA that would not verify the broker) does not
// turn the check off for the replies.
TEST_F(TlsVerifiedTest, TlsVerifyEditedToNoAfterStartStillChecksReplies) {
    ASSERT_GT(StartWith(""), 0);
    ASSERT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
    WriteAll(TOLVANE_MQ_CONF, testutil::ReadAll(TOLVANE_MQ_CONF) +
                                  "tls_ca_file=" + Cert("other.pem") + "\ntls_verify=no\n");
    EXPECT_FALSE(Answers(_amqp, kQueue, 5000)) << "a reply went out unchecked";
    EXPECT_NE(ServiceLog().find("the broker's certificate does not verify"), std::string::npos)
        << ServiceLog();
}

class TlsClientCertTest : public TlsTest {
protected:
    static void SetUpTestSuite() { StartNode("require"); }
};

TEST_F(TlsClientCertTest, DaemonWithClientCertificateServes) {
    ASSERT_GT(StartWith("tls_cert_file=" + Cert("client.pem") +
                        "\ntls_key_file=" + Cert("client.key") + "\n"),
              0);
    EXPECT_TRUE(Answers(_amqp, kQueue)) << ServiceLog();
}

TEST_F(TlsClientCertTest, DaemonWithoutClientCertificateIsRefused) {
    ASSERT_GT(StartWith(""), 0);
    ExpectRefused("the broker asked for a client certificate and none is given");
}

}  // namespace
