// CConsumer and CPublisher against the test run's private RabbitMQ node: set-up failures with
// their texts, deliveries byte for byte, broker-side closes, and the time limits against a
// peer that accepts TCP and never speaks AMQP.
#include "client/MQService.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "amqp/connection.h"
#include "amqp_test_client.h"
#include "relay.h"
#include "requester/call_client.h"

// Fault injection: while set, the service's socket allocation fails as on an exhausted heap.
namespace {
std::atomic<bool> failSocketAlloc{false};
}  // namespace

extern "C" amqp_socket_t* amqp_tcp_socket_new(amqp_connection_state_t state) {
    using Real = amqp_socket_t* (*)(amqp_connection_state_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "amqp_tcp_socket_new"));
    return failSocketAlloc ? nullptr : real(state);
}

namespace {

using Clock = std::chrono::steady_clock;

const char kHost[] = "127.0.0.1";
const int kFrameMax = 131072;
// Connect, handshake and each RPC are bounded by 10 s; a failed set-up plus the destructor's
// closes stay well inside this.
const auto kSetupBound = std::chrono::seconds(40);

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Names unique to this process and test, so parallel test programs never share a queue.
std::string Unique(const std::string& what) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("h3.") + t->name() + "." + what + "." + std::to_string(getpid());
}

// A loopback port with nothing listening on it.
int UnusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(fd);
    return bound ? ntohs(a.sin_port) : 0;
}

// Accepts TCP connections and never sends a byte: a broker that hangs.
class SilentListener {
public:
    SilentListener() {
        _fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(_fd, 8);
        socklen_t len = sizeof a;
        getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &len);
        _port = ntohs(a.sin_port);
        _acceptor = std::thread([this] {
            for (;;) {
                int c = accept(_fd, nullptr, nullptr);
                if (c < 0 || _stop) break;
                _held.push_back(c);
            }
        });
    }
    ~SilentListener() {
        _stop = true;
        shutdown(_fd, SHUT_RDWR);
        _acceptor.join();
        for (int c : _held) close(c);
        close(_fd);
    }
    int port() const { return _port; }

private:
    int _fd = -1;
    int _port = 0;
    std::atomic<bool> _stop{false};
    std::vector<int> _held;
    std::thread _acceptor;
};

// A broker user of the test's own, so its connections can be found and closed by name.
class BrokerUser {
public:
    explicit BrokerUser(const std::string& name) : _name(name) {
        _ok = Rabbitmqctl("add_user '" + _name + "' secret") == 0 &&
              Rabbitmqctl("set_permissions -p / '" + _name + "' '.*' '.*' '.*'") == 0;
    }
    ~BrokerUser() { Rabbitmqctl("delete_user '" + _name + "'"); }
    bool ok() const { return _ok; }
    const std::string& name() const { return _name; }

    // Closes every connection this user holds; returns how many there were.
    int CloseConnections() {
        std::istringstream rows(RabbitmqctlOutput("list_connections --no-table-headers pid user"));
        std::string pid, user;
        int closed = 0;
        while (rows >> pid >> user) {
            if (user != _name) continue;
            if (Rabbitmqctl("close_connection '" + pid + "' 'test closes it'") == 0) ++closed;
        }
        return closed;
    }

    // Kills the broker's processes for this user's connections: their sockets close at once,
    // without a connection.close, as when the broker vanishes.
    bool KillConnections() {
        return Rabbitmqctl(
                   "eval '[exit(proplists:get_value(pid, I), kill) || I <- "
                   "rabbit_networking:connection_info_all([pid, user]), "
                   "proplists:get_value(user, I) =:= <<\"" +
                   _name + "\">>].'") == 0;
    }

private:
    std::string _name;
    bool _ok = false;
};

int ConsumerCount(const std::string& queue) {
    std::istringstream rows(RabbitmqctlOutput("list_queues --no-table-headers name consumers"));
    std::string name;
    int consumers;
    while (rows >> name >> consumers) {
        if (name == queue) return consumers;
    }
    return -1;
}

class Broker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_peer.Connect()) << "private broker node not reachable"; }

    std::unique_ptr<CConsumer> MakeConsumer(const std::string& queue, const char* user = "guest",
                                            const char* pwd = "guest", int port = TEST_AMQP_PORT) {
        return std::unique_ptr<CConsumer>(
            new CConsumer(kHost, queue.c_str(), user, pwd, "/", port, kFrameMax));
    }
    std::unique_ptr<CPublisher> MakePublisher(const char* user = "guest", const char* pwd = "guest",
                                              int port = TEST_AMQP_PORT) {
        return std::unique_ptr<CPublisher>(new CPublisher(kHost, user, pwd, "/", port, kFrameMax));
    }

    // Waits through idle seconds for a result other than 1; the envelope, if any, lands in *msg.
    static int ConsumeUntilSomething(CConsumer& c, char** msg, int seconds = 10) {
        int r = 1;
        for (int i = 0; i < seconds && r == 1; ++i) r = c.ConsumeMessage(msg);
        return r;
    }

    static std::string Body(char* msg) {
        amqp_envelope_t* e = reinterpret_cast<amqp_envelope_t*>(msg);
        return std::string(static_cast<const char*>(e->message.body.bytes), e->message.body.len);
    }

    static void Release(char* msg) {
        amqp_destroy_envelope(reinterpret_cast<amqp_envelope_t*>(msg));
        free(msg);
    }

    TestAmqp _peer;
};

using Consumer = Broker;
using Publisher = Broker;

// The broker refuses basic.consume with a channel.close. The consumer must answer it on
// channel 1, or reopening that channel on the next Init would fail.
TEST_F(Consumer, MissingQueueClosesTheChannelAndANextInitResumesThere) {
    std::string queue = Unique("q");
    auto c = MakeConsumer(queue);
    char* msg = nullptr;
    EXPECT_EQ(2, c->ConsumeMessage(&msg));
    EXPECT_EQ("the channel closed....", c->Error());
    EXPECT_EQ(nullptr, msg);

    ASSERT_TRUE(_peer.DeclareQueue(queue));
    EXPECT_EQ(1, c->ConsumeMessage(&msg));
    EXPECT_EQ(1, ConsumerCount(queue));
    _peer.DeleteQueue(queue);
}

// Each set-up failure has its text, the same from both classes. A second attempt makes a new
// handle (LeakSanitizer fails the run if the first is lost) and fails the same way.
TEST_F(Broker, SetUpFailuresAreNamedByConsumerAndPublisher) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    const struct {
        const char* what;
        const char* pwd;
        const char* vhost;
        int port;
        const char* text;
    } cases[] = {
        {"refused login", "wrong", "/", TEST_AMQP_PORT, "failed to login to the broker"},
        {"nobody listening", "guest", "/", UnusedPort(), "failed to connect the server"},
        {"no such vhost", "guest", "no-such-vhost", TEST_AMQP_PORT,
         "failed to login to the broker"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CConsumer consumer(kHost, queue.c_str(), "guest", c.pwd, c.vhost, c.port, kFrameMax);
        CPublisher publisher(kHost, "guest", c.pwd, c.vhost, c.port, kFrameMax);
        char body[] = "x";
        for (int attempt = 0; attempt < 2; ++attempt) {
            char* msg = nullptr;
            EXPECT_EQ(2, consumer.ConsumeMessage(&msg));
            EXPECT_EQ(nullptr, msg);
            EXPECT_EQ(c.text, consumer.Error());
            EXPECT_FALSE(publisher.PublishMessage("amq.direct", "k", body, 1));
            EXPECT_EQ(c.text, publisher.Error());
        }
    }
    _peer.DeleteQueue(queue);
}

// The set-up RPC time limit must not shorten or break the one-second delivery wait, and a
// ready consumer sends no set-up traffic again (a second basic.consume would show).
TEST_F(Consumer, IdleQueueGivesOneAfterAboutASecondWithoutSetUpTraffic) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    auto c = MakeConsumer(queue);
    char* msg = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        EXPECT_EQ(1, c->ConsumeMessage(&msg));
        double took = SecondsSince(start);
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 5.0);
    }
    EXPECT_EQ("", c->Error());
    EXPECT_EQ(1, ConsumerCount(queue));
    _peer.DeleteQueue(queue);
}

TEST_F(Consumer, DeliversBodiesWholeIncludingEmptyOnes) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    std::string binary("\0head\0\xff\x01 tail\r\n", 15);
    binary += std::string(5000, '\0');
    ASSERT_TRUE(_peer.Publish("", queue, binary));
    ASSERT_TRUE(_peer.Publish("", queue, ""));

    auto c = MakeConsumer(queue);
    char* msg = nullptr;
    ASSERT_EQ(0, ConsumeUntilSomething(*c, &msg));
    EXPECT_EQ(binary, Body(msg));
    EXPECT_EQ(queue, std::string(static_cast<const char*>(
                                     reinterpret_cast<amqp_envelope_t*>(msg)->routing_key.bytes),
                                 reinterpret_cast<amqp_envelope_t*>(msg)->routing_key.len));
    Release(msg);

    ASSERT_EQ(0, ConsumeUntilSomething(*c, &msg));
    EXPECT_EQ("", Body(msg));
    Release(msg);
    EXPECT_EQ(1, c->ConsumeMessage(&msg));
    EXPECT_EQ(0, _peer.MessageCount(queue));  // no_ack: nothing left unacknowledged
    _peer.DeleteQueue(queue);
}

// A worker releases an envelope while the main thread goes on consuming on the same
// connection: the envelope must not borrow the connection's buffers.
TEST_F(Consumer, EnvelopeOutlivesLaterConsumeCalls) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    ASSERT_TRUE(_peer.Publish("", queue, std::string(3000, 'a')));
    ASSERT_TRUE(_peer.Publish("", queue, std::string(3000, 'b')));
    auto c = MakeConsumer(queue);
    char* first = nullptr;
    char* second = nullptr;
    char* none = nullptr;
    ASSERT_EQ(0, ConsumeUntilSomething(*c, &first));
    ASSERT_EQ(0, ConsumeUntilSomething(*c, &second));
    EXPECT_EQ(1, c->ConsumeMessage(&none));
    EXPECT_EQ(std::string(3000, 'a'), Body(first));
    EXPECT_EQ(std::string(3000, 'b'), Body(second));
    Release(first);
    Release(second);
    _peer.DeleteQueue(queue);
}

// A broker-side close_connection of both. The publisher's commit meets connection.close and
// fails, and the publisher is destroyed without delay; the consumer gives 2 with its text.
TEST_F(Broker, ClosedConnectionsFailTheCommitAndTheConsume) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    BrokerUser user(Unique("u"));
    ASSERT_TRUE(user.ok());
    auto c = MakeConsumer(queue, user.name().c_str(), "secret");
    auto p = MakePublisher(user.name().c_str(), "secret");
    char* msg = nullptr;
    ASSERT_EQ(1, c->ConsumeMessage(&msg));
    ASSERT_TRUE(p->Init());
    ASSERT_EQ(2, user.CloseConnections());

    char body[] = "late reply";
    auto start = Clock::now();
    EXPECT_FALSE(p->PublishMessage("amq.direct", "k", body, sizeof body - 1));
    p.reset();
    // Well below the 10 s RPC limit: the close was answered, so no close waited it out.
    EXPECT_LT(SecondsSince(start), 8.0);
    EXPECT_EQ(2, ConsumeUntilSomething(*c, &msg));
    EXPECT_EQ("the connection closed...", c->Error());
    _peer.DeleteQueue(queue);
}

// Without the broker's cancel notice the consumer would wait on a deleted queue for ever,
// and the daemon would never rebuild it.
TEST_F(Consumer, DeletedQueueGivesTwo) {
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    auto c = MakeConsumer(queue);
    char* msg = nullptr;
    ASSERT_EQ(1, c->ConsumeMessage(&msg));

    ASSERT_TRUE(_peer.DeleteQueue(queue));
    EXPECT_EQ(2, ConsumeUntilSomething(*c, &msg));
    EXPECT_EQ(nullptr, msg);
}

TEST_F(Publisher, MissingExchangeIsNotPublished) {
    auto p = MakePublisher();
    char body[] = "reply";
    EXPECT_FALSE(p->PublishMessage(Unique("x").c_str(), "key", body, sizeof body - 1));
    EXPECT_TRUE(p->Refused()) << "the broker said no: the reply would fail again";
    EXPECT_NE(p->Detail().find("404"), std::string::npos) << p->Detail();
}

TEST_F(Publisher, UnboundRoutingKeyStillCommits) {
    std::string exchange = Unique("x");
    ASSERT_TRUE(_peer.DeclareExchange(exchange));
    auto p = MakePublisher();
    char body[] = "dropped";
    EXPECT_TRUE(p->PublishMessage(exchange.c_str(), "nobody-bound", body, sizeof body - 1));
    _peer.DeleteExchange(exchange);
}

// Every publish is its own committed transaction on one connection; bodies are bytes.
TEST_F(Publisher, BodiesWithNulBytesArriveWholeWithTheirProperties) {
    std::string exchange = Unique("x");
    std::string queue = Unique("q");
    ASSERT_TRUE(_peer.DeclareExchange(exchange));
    ASSERT_TRUE(_peer.DeclareQueue(queue));
    ASSERT_TRUE(_peer.Bind(queue, exchange, "route"));

    std::string first(1074, '\0');
    first.replace(0, 7, "id-0001");
    first.replace(100, 6, "10000:");
    std::string second("\0\0\0tail", 7);
    auto p = MakePublisher();
    ASSERT_TRUE(p->PublishMessage(exchange.c_str(), "route", &first[0], first.size()));
    ASSERT_TRUE(p->PublishMessage(exchange.c_str(), "route", &second[0], second.size()));
    EXPECT_EQ("", p->Error());

    std::string got, type;
    int mode = 0;
    ASSERT_TRUE(_peer.Get(queue, &got, 5000, &type, &mode));
    EXPECT_EQ(first, got);
    EXPECT_EQ("text/plain", type);
    EXPECT_EQ(2, mode);
    ASSERT_TRUE(_peer.Get(queue, &got, 5000));
    EXPECT_EQ(second, got);
    _peer.DeleteQueue(queue);
    _peer.DeleteExchange(exchange);
}

// The broker's side of a ready publisher's connection dies; the publishes that follow write
// to a socket the peer has reset. With SIGPIPE at its default the process would die here.
TEST_F(Publisher, BrokerKillingTheConnectionIsAFailureNotSigpipe) {
    signal(SIGPIPE, SIG_DFL);
    BrokerUser user(Unique("u"));
    ASSERT_TRUE(user.ok());
    auto p = MakePublisher(user.name().c_str(), "secret");
    ASSERT_TRUE(p->Init());
    ASSERT_TRUE(user.KillConnections());

    std::string body(64 * 1024, 'x');
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(p->PublishMessage("amq.direct", "k", &body[0], body.size()));
    }
    p.reset();
}

// A handle without a socket cannot be closed (the library asserts on the missing socket), so
// neither the destructor nor a second attempt may try.
TEST(SocketAllocation, FailureIsNamedAndTheObjectsStillGoAway) {
    failSocketAlloc = true;
    {
        CConsumer c(kHost, "q", "guest", "guest", "/", TEST_AMQP_PORT, kFrameMax);
        char* msg = nullptr;
        EXPECT_EQ(2, c.ConsumeMessage(&msg));
        EXPECT_EQ("failed to alloc the space for amqp_tcp_socket", c.Error());
        EXPECT_EQ(2, c.ConsumeMessage(&msg));
        CPublisher p(kHost, "guest", "guest", "/", TEST_AMQP_PORT, kFrameMax);
        char body[] = "x";
        EXPECT_FALSE(p.PublishMessage("amq.direct", "k", body, 1));
        EXPECT_EQ("failed to alloc the space for amqp_tcp_socket", p.Error());
        BrokerOptions options;
        options.port = TEST_AMQP_PORT;
        CallClient client(options);
        EXPECT_FALSE(client.Connect(5));
        EXPECT_EQ("out of memory for a socket", client.Error());
    }
    failSocketAlloc = false;
}

// A peer that accepts TCP and never answers: every step is bounded, destructor included.
TEST(SilentBroker, ConsumerAndPublisherGiveUpWithinTheBound) {
    SilentListener silent;
    // Each attempt returns the failure text once its object is gone.
    const struct {
        const char* who;
        std::function<std::string()> attempt;
    } sides[] = {
        {"consumer",
         [&] {
             CConsumer c(kHost, "q", "guest", "guest", "/", silent.port(), kFrameMax);
             char* msg = nullptr;
             EXPECT_EQ(2, c.ConsumeMessage(&msg));
             return c.Error();
         }},
        {"publisher",
         [&] {
             CPublisher p(kHost, "guest", "guest", "/", silent.port(), kFrameMax);
             char body[] = "x";
             EXPECT_FALSE(p.PublishMessage("amq.direct", "k", body, 1));
             return p.Error();
         }},
    };
    for (const auto& side : sides) {
        const auto start = Clock::now();
        EXPECT_EQ("failed to login to the broker", side.attempt()) << side.who;
        EXPECT_LT(SecondsSince(start), std::chrono::duration<double>(kSetupBound).count());
        std::printf("silent broker: %s gave up after %.1f s\n", side.who, SecondsSince(start));
    }
}

// The `server` list: its item forms, a host that accepts TCP and never speaks, a refusal.
TEST(HostList, ItemsTakeTheirPortOrTheDefaultIpv6Included) {
    struct Case {
        const char* server;
        std::vector<std::pair<std::string, int>> hosts;
    } cases[] = {
        {"broker", {{"broker", 5672}}},
        {"broker:5673", {{"broker", 5673}}},
        {"::1", {{"::1", 5672}}},
        {"fe80::1:2", {{"fe80::1:2", 5672}}},
        {"[::1]", {{"::1", 5672}}},
        {"[::1]:5673", {{"::1", 5673}}},
        {" a:1 , [::1]:2,::1 ,", {{"a", 1}, {"::1", 2}, {"::1", 5672}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::string, int>> got;
        for (const AmqpHost& h : AmqpHosts(c.server, 5672)) got.push_back({h.name, h.port});
        EXPECT_EQ(got, c.hosts) << c.server;
    }
    EXPECT_EQ(AmqpHost({"::1", 5673}).Text(), "[::1]:5673");
}

TEST(HostList, Ipv6BrokerIsReachedBareAndBracketed) {
    Relay relay(TEST_AMQP_PORT, "::1");
    char body[] = "x";
    CPublisher bare("::1", "guest", "guest", "/", relay.port(), kFrameMax);
    EXPECT_TRUE(bare.PublishMessage("amq.direct", "k", body, 1)) << bare.Detail();
    const std::string bracketed = "[::1]:" + std::to_string(relay.port());
    CPublisher withPort(bracketed.c_str(), "guest", "guest", "/", 1, kFrameMax);
    EXPECT_TRUE(withPort.PublishMessage("amq.direct", "k", body, 1)) << withPort.Detail();
}

// A frozen node costs one handshake time-out, once: afterwards it is tried last, so a caller
// rotating its first host does not wait on it again.
TEST(HostList, HostThatNeverSpeaksIsPassedOverAndThenTriedLast) {
    SilentListener silent;
    const std::string server = "127.0.0.1:" + std::to_string(silent.port()) +
                               ",127.0.0.1:" + std::to_string(TEST_AMQP_PORT);
    char body[] = "x";
    for (int call = 0; call < 2; ++call) {
        CPublisher p(server.c_str(), "guest", "guest", "/", 1, kFrameMax);
        EXPECT_TRUE(p.PublishMessage("amq.direct", "k", body, 1)) << p.Detail();
        const bool silentTried =
            p.HostFailures().find(std::to_string(silent.port())) != std::string::npos;
        EXPECT_EQ(silentTried, call == 0) << p.HostFailures();
    }
}

TEST(HostList, BrokerRefusingTheLoginEndsTheWalk) {
    Relay next(TEST_AMQP_PORT);
    const std::string server =
        "127.0.0.1:" + std::to_string(TEST_AMQP_PORT) + ",127.0.0.1:" + std::to_string(next.port());
    CPublisher p(server.c_str(), "guest", "wrong", "/", 1, kFrameMax);
    char body[] = "x";
    EXPECT_FALSE(p.PublishMessage("amq.direct", "k", body, 1));
    EXPECT_EQ("failed to login to the broker", p.Error());
    EXPECT_TRUE(p.Refused());
    EXPECT_EQ(next.Accepted(), 0);
}

}  // namespace
