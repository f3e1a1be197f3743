// How the running daemon takes requests from the broker: the bounded intake and its order,
// the no_ack consumer, and what stopping, SIGHUP and a crash leave behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

const char kQueue[] = "tolvane.t.delivery";
const char kPlatform[] = "tolvane.t.delivery.out";
const char kReplies[] = "tolvane.t.delivery.replies";

class DeliveryTest : public RoutedDaemonTest {
protected:
    DeliveryTest() : RoutedDaemonTest(kQueue, kPlatform, kReplies) {}

    // Queues `n` requests "<prefix><i>" calling echo's `func` with `arg`; returns the guids.
    std::vector<std::string> Send(int n, const std::string& prefix, const std::string& func,
                                  const std::string& arg) {
        std::vector<std::string> guids;
        for (int i = 0; i < n; ++i) {
            guids.push_back(prefix + std::to_string(i));
            EXPECT_TRUE(_amqp.Publish(
                "", kQueue,
                RequestBody(guids.back(), kPlatform, {{"comtype=echo", "nfunc=" + func, arg}})));
        }
        return guids;
    }

    // Guids of the replies in arrival order, until `n` came or none came for `quiet_ms`.
    std::vector<std::string> Collect(size_t n, int quietMs) {
        std::vector<std::string> guids;
        std::string body;
        while (guids.size() < n && _amqp.Get(kReplies, &body, quietMs)) {
            guids.push_back(ParseReply(body).guid);
        }
        return guids;
    }

    // Waits until `n` replies wait in the reply queue.
    bool RepliesReach(int n) {
        return WaitFor([&] { return _amqp.MessageCount(kReplies) >= n; }, 20000);
    }

    // Queues 300 requests of 20 ms "<prefix><i>", starts the daemon with `extra` settings and
    // sends it `sig` once ten replies are in: a signal in the middle of a backlog.
    void SignalMidBacklog(const std::string& prefix, const std::string& extra, int sig,
                          std::vector<std::string>* sent, pid_t* pid) {
        *sent = Send(300, prefix, "sleep", "ms=20");
        *pid = StartWith(extra);
        ASSERT_GT(*pid, 0);
        ASSERT_TRUE(RepliesReach(10));
        kill(*pid, sig);
    }

    // The log shows that a run of `guid` began.
    bool RunBegan(const std::string& guid) {
        return WaitFor([&] { return ServiceLog().find("] " + guid + "\n") != std::string::npos; },
                       15000);
    }
};

// The voluntary context switches of all of `pid`'s threads: how often they went to sleep.
long Sleeps(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::istringstream ids(testutil::Capture("ls " + tasks));
    long total = 0;
    for (std::string tid; ids >> tid;) {
        std::ifstream status(tasks + "/" + tid.append("/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += atol(line.c_str() + 24);
        }
    }
    return total;
}

TEST_F(DeliveryTest, IntakeIsBoundedAndServedInOrder) {
    // One worker, so the broker's order must come out unchanged; the reply connection and
    // plug-in kept per worker make its thousand replies quick.
    std::vector<std::string> sent = Send(1, "slow-", "sleep", "ms=4000");
    std::vector<std::string> fast = Send(1000, "fast-", "say", "text=10000:fast");
    sent.insert(sent.end(), fast.begin(), fast.end());
    ASSERT_GT(
        StartWith("workers=1\nintake_limit=5\nreply_connection=per_worker\nplugin_cache=yes\n"), 0);

    // While the slow job runs the daemon holds intake_limit + workers more, no further.
    const int held = 1000 - 5 - 1;
    EXPECT_TRUE(WaitFor([&] { return _amqp.MessageCount(kQueue) <= held; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(_amqp.MessageCount(kQueue), held);

    EXPECT_EQ(Collect(sent.size(), 20000), sent);
}

TEST_F(DeliveryTest, ZeroIntakeLimitConsumesWithoutAcks) {
    for (const char* extra : {"intake_limit=0\n", ""}) {
        SCOPED_TRACE(extra);
        const bool noAck = *extra != '\0';
        pid_t pid = StartWith(extra);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(Answers(_amqp, kQueue));
        std::string consumers = RabbitmqctlOutput("list_consumers -p / queue_name ack_required");
        EXPECT_NE(consumers.find(std::string(kQueue) + (noAck ? "\tfalse" : "\ttrue")),
                  std::string::npos)
            << consumers;
        Stop(pid);
    }
}

// Acknowledgements go out in batches: at the stop every one of them is sent, none twice.
TEST_F(DeliveryTest, SigtermFinishesWhatItHoldsAndLeavesTheRest) {
    for (const char* mode : {"", "ack_mode=after_reply\n"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> sent;
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(
            SignalMidBacklog(std::string("term-") + mode, mode, SIGTERM, &sent, &pid));
        EXPECT_TRUE(WaitFor([&] { return !IsAlive(pid); }, 30000));
        EXPECT_FALSE(testutil::Exists(TOLVANE_PID_FILE));
        EXPECT_NE(ServiceLog().find("stopped: "), std::string::npos) << ServiceLog();

        std::set<std::string> answered;
        for (const std::string& guid : Collect(sent.size(), 1500)) {
            EXPECT_TRUE(answered.insert(guid).second) << "two replies for " << guid;
        }
        const int left = _amqp.MessageCount(kQueue);
        EXPECT_GT(left, 0) << "the stop came after the backlog was done";
        EXPECT_EQ(answered.size() + left, sent.size());
        ASSERT_TRUE(_amqp.PurgeQueue(kQueue));
    }
}

// Under after_reply a slow call holds back the batch behind it; the ones answered meanwhile
// are still acknowledged, so the intake window does not run dry.
TEST_F(DeliveryTest, SlowCallDoesNotStallTheIntake) {
    std::vector<std::string> slow = Send(1, "slow-", "sleep", "ms=5000");
    std::vector<std::string> fast = Send(200, "fast-", "say", "text=10000:fast");
    ASSERT_GT(StartWith("workers=2\nintake_limit=5\nack_mode=after_reply\n"), 0);
    std::vector<std::string> got = Collect(fast.size() + 1, 20000);
    ASSERT_EQ(got.size(), fast.size() + 1);
    EXPECT_EQ(got.back(), slow.front()) << "the fast ones waited for the slow one";
}

TEST_F(DeliveryTest, SighupIsIgnored) {
    pid_t pid = StartWith("");
    ASSERT_GT(pid, 0);
    kill(pid, SIGHUP);
    EXPECT_TRUE(Answers(_amqp, kQueue));
    EXPECT_TRUE(IsAlive(pid));
}

// Per reply with transactions and confirms, and pipelined (its replies handed over and not yet
// confirmed die with the process, their requests unacknowledged).
TEST_F(DeliveryTest, AckAfterReplyLosesNothingToAKill) {
    for (const char* commit : {"", "reply_commit=confirm\n", "reply_connection=pipelined\n"}) {
        SCOPED_TRACE(commit);
        std::vector<std::string> sent;
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(SignalMidBacklog(std::string("kill-") + commit,
                                                 std::string("ack_mode=after_reply\n") + commit,
                                                 SIGKILL, &sent, &pid));
        ASSERT_TRUE(WaitFor([&] { return !IsAlive(pid); }, 10000));
        pid = Start();  // on the same settings
        ASSERT_GT(pid, 0);

        std::set<std::string> answered;
        std::string body;
        int twice = 0;
        while (answered.size() < sent.size() && _amqp.Get(kReplies, &body, 20000)) {
            twice += !answered.insert(ParseReply(body).guid).second;
        }
        EXPECT_EQ(answered, std::set<std::string>(sent.begin(), sent.end()));
        std::cout << twice << " of " << sent.size() << " answered twice\n";
        Stop(pid);
        ASSERT_TRUE(_amqp.PurgeQueue(kReplies));  // a request may have been answered twice
    }
}

// Under the defaults a call that ends the process at once: its acknowledgement was written
// before the call began, so the restarted daemon does not take it again (and die again).
TEST_F(DeliveryTest, RequestThatAbortsAtOnceIsNotTakenAgain) {
    pid_t pid = StartWith("");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Answers(_amqp, kQueue));
    ASSERT_TRUE(_amqp.Publish(
        "", kQueue, RequestBody("aborts", kPlatform, {{"comtype=tvisolate", "nfunc=aborts"}})));
    ASSERT_TRUE(WaitFor([&] { return !IsAlive(pid); }, 15000));
    unlink(TOLVANE_PID_FILE);
    pid = Start();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Answers(_amqp, kQueue)) << "the request was taken again";
    EXPECT_TRUE(IsAlive(pid));
    EXPECT_EQ(_amqp.MessageCount(kQueue), 0);
}

// A requester reuses the guid of a request answered already; the new request waits in the
// intake when the broker closes the consumer connection, and comes back marked redelivered.
TEST_F(DeliveryTest, ReusedGuidAfterAReconnectIsANewRequest) {
    pid_t pid = StartWith("workers=1\nreconnect_pause=1\n");
    ASSERT_GT(pid, 0);
    std::set<int> consumer;
    ASSERT_TRUE(WaitFor(
        [&] { return (consumer = probe::LocalPortsTo(pid, TEST_AMQP_PORT)).size() == 1; }, 15000));
    auto say = [&](const std::string& text) {
        return RequestBody("reused", kPlatform, {{"comtype=echo", "nfunc=say", "text=" + text}});
    };
    ASSERT_TRUE(_amqp.Publish("", kQueue, say("10000:first")));
    std::string body;
    ASSERT_TRUE(_amqp.Get(kReplies, &body, 20000));

    Send(1, "busy-", "sleep", "ms=6000");  // holds the one worker
    ASSERT_TRUE(_amqp.Publish("", kQueue, say("10000:second")));
    ASSERT_TRUE(RunBegan("busy-0"));
    ASSERT_TRUE(WaitFor([&] { return _amqp.MessageCount(kQueue) == 0; }, 15000));
    std::istringstream listed(RabbitmqctlOutput("list_connections pid peer_port"));
    std::string brokerPid, peerPort;
    while (listed >> brokerPid >> peerPort && !consumer.count(atoi(peerPort.c_str()))) {}
    ASSERT_TRUE(consumer.count(atoi(peerPort.c_str())));
    ASSERT_EQ(Rabbitmqctl("close_connection '" + brokerPid + "' 'tolvane.t reconnect'"), 0);

    std::string second;
    while (second.empty() && _amqp.Get(kReplies, &body, 30000)) {
        const Reply r = ParseReply(body);
        if (r.guid == "reused") second = r.text;
    }
    EXPECT_EQ(second, "10000:second") << ServiceLog();
}

// A delivery held under after_reply while its call runs leaves the consume loop asleep: it
// wakes when there is something to flush, not every few milliseconds.
TEST_F(DeliveryTest, HeldDeliveryDoesNotWakeTheConsumeLoop) {
    pid_t pid = StartWith("ack_mode=after_reply\n");
    ASSERT_GT(pid, 0);
    Send(1, "held-", "sleep", "ms=5000");
    ASSERT_TRUE(RunBegan("held-0"));
    const long before = Sleeps(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span measured, not a wait
    const long woken = Sleeps(pid) - before;
    // A loop waking every 2 ms counts about 900; the rest leaves room for the sanitizers'
    // own threads, which wake too.
    EXPECT_LT(woken, 100) << "wake-ups in 2 s";
    EXPECT_EQ(Collect(1, 20000).size(), 1u);
}

}  // namespace
