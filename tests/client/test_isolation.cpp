// Plug-ins in worker processes (isolation=process): a crash, a hang, a leak or a gigabyte costs
// one call, never the daemon; and, under isolation=thread, a crashing request bounded by a
// quorum queue's delivery limit.
#include <gtest/gtest.h>
#include <signal.h>

#include <dirent.h>

#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

const char kQueue[] = "tolvane.t.isolation";
const char kPlatform[] = "tolvane.t.isolation.out";
const char kReplies[] = "tolvane.t.isolation.replies";
const char kException[] = "Try Catch Unknow error.";

// The children of `pid`, over all its threads.
std::set<pid_t> ChildrenOf(pid_t pid) {
    std::set<pid_t> kids;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    for (struct dirent* e; d && (e = readdir(d));) {
        std::istringstream in(testutil::ReadAll(tasks + "/" + e->d_name + "/children"));
        for (pid_t kid; in >> kid;) kids.insert(kid);
    }
    if (d) closedir(d);
    return kids;
}

class IsolationTest : public RoutedDaemonTest {
protected:
    IsolationTest() : RoutedDaemonTest(kQueue, kPlatform, kReplies) {}

    void Send(const std::string& guid, const std::vector<std::vector<std::string>>& records) {
        EXPECT_TRUE(_amqp.Publish("", kQueue, RequestBody(guid, kPlatform, records)));
    }

    // The reply texts by guid, until `n` came or none came for `quietMs`.
    std::map<std::string, std::string> Collect(size_t n, int quietMs = 20000) {
        std::map<std::string, std::string> texts;
        std::string body;
        while (texts.size() < n && _amqp.Get(kReplies, &body, quietMs)) {
            const Reply r = ParseReply(body);
            texts[r.guid] = r.text;
        }
        return texts;
    }
};

const std::vector<std::string> kCrash = {"comtype=tvisolate", "nfunc=crash"};
const std::vector<std::string> kPid = {"comtype=tvisolate", "nfunc=pid"};
const std::vector<std::string> kEcho = {"comtype=echo", "nfunc=echo"};
std::vector<std::string> Hang(int ms) {
    return {"comtype=echo", "nfunc=sleep", "ms=" + std::to_string(ms)};
}

TEST_F(IsolationTest, CrashAnswersAsAnExceptionAndTheNextRequestsAreServed) {
    ASSERT_GT(StartWith("isolation=process\nworkers=2\n"), 0);
    Send("crash", {kCrash});
    Send("chain", {kEcho, kCrash, kEcho});
    for (int i = 0; i < 100; ++i) Send("next-" + std::to_string(i), {kEcho});
    auto texts = Collect(102);
    ASSERT_EQ(texts.size(), 102u);
    EXPECT_EQ(texts["crash"], kException);
    EXPECT_EQ(texts["chain"], kException) << "the second record crashed, the third never ran";
    EXPECT_EQ(texts["next-99"].rfind("10000:", 0), 0u);
    const std::string log = ServiceLog();
    // A signal, or the exit status a sanitizer gives its report.
    EXPECT_NE(log.find("died in the call to crash of libtvisolate.so: "), std::string::npos) << log;
}

TEST_F(IsolationTest, HungCallsEndAtCallTimeout) {
    ASSERT_GT(StartWith("isolation=process\nworkers=3\ncall_timeout=2\nstats_interval=1\n"), 0);
    const auto start = std::chrono::steady_clock::now();
    Send("hung-1", {Hang(60000)});
    Send("hung-2", {Hang(60000)});
    for (int i = 0; i < 5; ++i) Send("next-" + std::to_string(i), {kEcho});
    auto texts = Collect(7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts["hung-1"], kException);
    EXPECT_EQ(texts["hung-2"], kException);
    EXPECT_TRUE(
        WaitFor([] { return ServiceLog().find("call_timeouts=2") != std::string::npos; }, 3000));
    EXPECT_NE(ServiceLog().find("the call to sleep of libecho.so ran past call_timeout=2 s"),
              std::string::npos);
}

TEST_F(IsolationTest, MaxCallsPerWorkerStartsNewWorkers) {
    const pid_t daemon = StartWith("isolation=process\nworkers=1\nmax_calls_per_worker=2\n");
    ASSERT_GT(daemon, 0);
    std::vector<std::string> pids;
    for (int i = 0; i < 6; ++i) {
        Send("pid", {kPid});
        auto texts = Collect(1);
        pids.push_back(texts["pid"]);
    }
    EXPECT_EQ(pids[0], pids[1]);
    EXPECT_EQ(pids[2], pids[3]);
    EXPECT_EQ(pids[4], pids[5]);
    EXPECT_EQ(std::set<std::string>(pids.begin(), pids.end()).size(), 3u);
    EXPECT_EQ(pids[0].find("10000:" + std::to_string(daemon)), std::string::npos);
}

// The state letter of /proc/PID/stat ('Z' for a zombie), 0 once the process is gone.
char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(") ") == std::string::npos) return 0;
    return line[line.rfind(") ") + 2];
}

// A worker that dies while idle (the kernel's OOM killer, an operator) must not fail the next
// call, which did nothing wrong.
TEST_F(IsolationTest, WorkerKilledBetweenCallsIsReplacedBeforeTheNextCall) {
    ASSERT_GT(StartWith("isolation=process\nworkers=1\n"), 0);
    Send("before", {kPid});
    const std::string before = Collect(1)["before"];
    ASSERT_EQ(before.rfind("10000:", 0), 0u) << before;
    const pid_t worker = atoi(before.c_str() + 6);
    ASSERT_EQ(kill(worker, SIGKILL), 0);
    // Gone, or a zombie its parent has not reaped yet.
    ASSERT_TRUE(
        WaitFor([&] { return ProcessState(worker) == 'Z' || ProcessState(worker) == 0; }, 5000));
    Send("after", {kPid});
    const std::string after = Collect(1)["after"];
    EXPECT_EQ(after.rfind("10000:", 0), 0u) << after;
    EXPECT_NE(after, before);
    EXPECT_NE(ServiceLog().find("ended between calls: signal 9"), std::string::npos);
}

TEST_F(IsolationTest, GigabyteFailsInsideAWorkerOfLimitedMemory) {
    ASSERT_GT(StartWith("isolation=process\nworkers=1\nworker_memory_mb=256\n"), 0);
    Send("big", {{"comtype=tvisolate", "nfunc=gigabyte"}});
    Send("next", {kEcho});
    auto texts = Collect(2);
    EXPECT_EQ(texts["big"], kException);
    EXPECT_EQ(texts["next"].rfind("10000:", 0), 0u);
}

TEST_F(IsolationTest, SigtermWithAHungCallEndsWithinStopTimeout) {
    const pid_t pid = StartWith("isolation=process\nstop_timeout=2\n");
    ASSERT_GT(pid, 0);
    Send("hung", {Hang(60000)});
    ASSERT_TRUE(WaitFor([&] { return !ChildrenOf(pid).empty(); }, 10000));
    const std::set<pid_t> workers = ChildrenOf(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return !IsAlive(pid); }, 7000));
    for (pid_t w : workers) EXPECT_TRUE(WaitFor([&] { return !IsAlive(w); }, 2000)) << w;
}

TEST_F(IsolationTest, SigkillOfTheDaemonLeavesNoWorker) {
    const pid_t pid = StartWith("isolation=process\nworkers=3\n");
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 3; ++i) Send("hung-" + std::to_string(i), {Hang(60000)});
    ASSERT_TRUE(WaitFor([&] { return ChildrenOf(pid).size() == 3; }, 10000));
    const std::set<pid_t> workers = ChildrenOf(pid);
    kill(pid, SIGKILL);
    for (pid_t w : workers) EXPECT_TRUE(WaitFor([&] { return !IsAlive(w); }, 3000)) << w;
}

std::vector<std::string> Plugin(const std::string& func) {
    return {"comtype=tvisolate", "nfunc=" + func};
}
std::vector<std::string> Text(const std::string& text) {
    return {"comtype=echo", "nfunc=say", "text=" + text};
}

// The pid a fork_child or helper call answered.
pid_t PidIn(const std::string& text) {
    return text.rfind("10000:", 0) == 0 ? atoi(text.c_str() + 6) : 0;
}

// A child a plug-in leaves behind keeps neither a later crash waiting nor itself alive: it
// ends with its worker, at a crash as at call_timeout.
TEST_F(IsolationTest, ChildrenOfAPlugInEndWithTheirWorker) {
    ASSERT_GT(StartWith("isolation=process\nworkers=1\ncall_timeout=3\n"), 0);
    const auto start = std::chrono::steady_clock::now();
    Send("fork", {Plugin("fork_child")});
    Send("helper", {Plugin("helper")});
    Send("crash", {kCrash});
    Send("after-crash", {Text("after-crash")});
    Send("helper-2", {Plugin("helper")});
    Send("hung", {Hang(60000)});
    Send("after-hung", {Text("after-hung")});
    auto texts = Collect(7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts["crash"], kException);
    EXPECT_EQ(texts["hung"], kException);
    EXPECT_EQ(texts["after-crash"], "after-crash");
    EXPECT_EQ(texts["after-hung"], "after-hung");
    for (const char* guid : {"fork", "helper", "helper-2"}) {
        const pid_t kid = PidIn(texts[guid]);
        ASSERT_GT(kid, 0) << guid << ": " << texts[guid];
        EXPECT_TRUE(WaitFor([&] { return !IsAlive(kid); }, 5000)) << guid << " " << kid;
    }
}

// Bytes a plug-in writes onto its worker's socket cost its own call at most: the answers
// that follow stay with their requests.
TEST_F(IsolationTest, WritesOntoTheSocketCostOnlyTheirOwnCall) {
    ASSERT_GT(StartWith("isolation=process\nworkers=1\n"), 0);
    const std::vector<std::string> hostile = {"scribble", "shell_fd3", "stray"};
    for (const std::string& h : hostile) {
        Send(h, {Plugin(h)});
        Send("after-" + h, {Text("after-" + h)});
    }
    auto texts = Collect(6);
    ASSERT_EQ(texts.size(), 6u);
    for (const std::string& h : hostile) EXPECT_EQ(texts["after-" + h], "after-" + h);
    EXPECT_EQ(texts["scribble"], kException);
    EXPECT_EQ(texts["shell_fd3"], "10000:not written") << "the shell has no fd 3";
    EXPECT_EQ(texts["stray"], kException);
    EXPECT_NE(ServiceLog().find("with a frame that does not parse or is not its answer"),
              std::string::npos);
}

// A worker is a process of its own: its own group, none of the standard signals blocked or
// ignored (the C library's own, from 32 on, are its matter).
TEST_F(IsolationTest, WorkerStartsInItsOwnGroupWithSignalsReset) {
    ASSERT_GT(StartWith("isolation=process\nworkers=1\n"), 0);
    Send("signals", {Plugin("signals")});
    const std::string text = Collect(1)["signals"];
    ASSERT_EQ(text.rfind("10000:group=own blocked=", 0), 0u) << text;
    const unsigned long long standard = (1ull << 31) - 1;
    const size_t ignored = text.find(" ignored=");
    ASSERT_NE(ignored, std::string::npos) << text;
    EXPECT_EQ(strtoull(text.c_str() + text.find("blocked=") + 8, nullptr, 16) & standard, 0u)
        << text;
    EXPECT_EQ(strtoull(text.c_str() + ignored + 9, nullptr, 16) & standard, 0u) << text;
}

// Hostile plug-ins among a steady stream: every innocent request answered once, with its own
// text; no pool thread lost; nothing left running once the daemon stopped.
TEST_F(IsolationTest, HostilePlugInsAmidASteadyStream) {
    const pid_t daemon =
        StartWith("isolation=process\nworkers=3\ncall_timeout=2\nstats_interval=1\n");
    ASSERT_GT(daemon, 0);
    const std::vector<std::vector<std::string>> hostile = {
        kCrash,           Hang(60000),        Plugin("fork_child"),
        Plugin("helper"), Plugin("scribble"), Plugin("shell_fd3"),
        Plugin("stray"),  Plugin("exit3")};
    const int rounds = 3, innocentPerHostile = 4;
    size_t sent = 0;
    for (int r = 0; r < rounds; ++r) {
        for (size_t h = 0; h < hostile.size(); ++h, ++sent) {
            Send("hostile-" + std::to_string(r) + "-" + std::to_string(h), {hostile[h]});
            for (int i = 0; i < innocentPerHostile; ++i, ++sent) {
                const std::string guid = "innocent-" + std::to_string(sent);
                Send(guid, {Text(guid)});
            }
        }
    }
    std::map<std::string, int> answers;
    std::map<std::string, std::string> texts;
    std::string body;
    while (texts.size() < sent && _amqp.Get(kReplies, &body, 20000)) {
        const Reply reply = ParseReply(body);
        ++answers[reply.guid];
        texts[reply.guid] = reply.text;
    }
    ASSERT_EQ(texts.size(), sent);
    std::vector<pid_t> kids;
    for (const auto& t : texts) {
        EXPECT_EQ(answers[t.first], 1) << t.first;
        if (t.first.rfind("innocent-", 0) == 0) {
            EXPECT_EQ(t.second, t.first);
        }
        if (t.first.rfind("hostile-", 0) == 0 && PidIn(t.second) > 0)
            kids.push_back(PidIn(t.second));
    }
    EXPECT_FALSE(_amqp.Get(kReplies, &body, 1000)) << "one answer each";
    // Every pool thread back to waiting for work.
    EXPECT_TRUE(WaitFor(
        [] {
            const std::string log = ServiceLog();
            const size_t last = log.rfind("counters:");
            return last != std::string::npos &&
                   log.find("waiting=0 running=0", last) != std::string::npos;
        },
        10000));
    const std::set<pid_t> workers = ChildrenOf(daemon);
    Stop(daemon);
    EXPECT_FALSE(IsAlive(daemon));
    for (pid_t w : workers) EXPECT_TRUE(WaitFor([&] { return !IsAlive(w); }, 5000)) << w;
    for (pid_t k : kids) EXPECT_TRUE(WaitFor([&] { return !IsAlive(k); }, 5000)) << k;
}

// The README's recipe: a quorum queue with a delivery limit and a dead-letter exchange.
class PoisonTest : public IsolationTest {
protected:
    const std::string _quorum = "tolvane.t.poison", _dlx = "tolvane.t.poison.dlx",
                      _dlq = "tolvane.t.poison.dead";

    void SetUp() override {
        IsolationTest::SetUp();
        _amqp.DeleteQueue(_quorum);
        ASSERT_TRUE(_amqp.DeclareExchange(_dlx, "fanout") && _amqp.DeclareQueue(_dlq) &&
                    _amqp.PurgeQueue(_dlq) && _amqp.Bind(_dlq, _dlx, ""));
    }
    void TearDown() override {
        IsolationTest::TearDown();
        _amqp.DeleteQueue(_quorum);
        _amqp.DeleteQueue(_dlq);
        _amqp.DeleteExchange(_dlx);
    }

    void Declare(int deliveryLimit, const std::string& conf) {
        const CallOutcome declared = Call(
            TEST_AMQP_PORT, "--queue " + _quorum + " --declare-queue --quorum --delivery-limit " +
                                std::to_string(deliveryLimit) + " --dead-letter-exchange " + _dlx);
        ASSERT_EQ(declared.status, 0) << declared.output;
        testutil::WriteAll(TOLVANE_MQ_CONF,
                           WriteConf(_quorum, "127.0.0.1:" + std::to_string(ClosedPort())) +
                               "ack_mode=after_reply\n" + conf);
    }
    void Send(const std::string& guid, const std::vector<std::vector<std::string>>& records) {
        EXPECT_TRUE(_amqp.Publish("", _quorum, RequestBody(guid, kPlatform, records)));
    }

    // Starts the daemon again after each death, as the unit's Restart=on-failure does, until
    // something is dead-lettered (at most `most` starts); then one that lives. The deaths.
    int RestartUntilDeadLettered(int most) {
        int deaths = 0;
        for (int starts = 0; starts < most && _amqp.MessageCount(_dlq) < 1; ++starts) {
            unlink(TOLVANE_PID_FILE);
            const pid_t pid = Start();
            if (pid <= 0) return -1;
            WaitFor([&] { return !IsAlive(pid) || _amqp.MessageCount(_dlq) > 0; }, 60000);
            if (IsAlive(pid)) break;
            ++deaths;
        }
        if (_started.empty() || !IsAlive(_started.back())) {
            unlink(TOLVANE_PID_FILE);
            EXPECT_GT(Start(), 0);
        }
        return deaths;
    }
};

TEST_F(PoisonTest, CrashingRequestIsDeadLetteredWhileTheRestartedDaemonServesTheOthers) {
    Declare(1, "workers=1\n");
    for (int i = 0; i < 3; ++i) Send("before-" + std::to_string(i), {kEcho});
    // It crashes after a pause, so that each start is seen alive.
    Send("poison", {Hang(500), kCrash});
    EXPECT_EQ(RestartUntilDeadLettered(5), 2) << "delivered twice, then dead-lettered";
    EXPECT_TRUE(WaitFor([&] { return _amqp.MessageCount(_dlq) == 1; }, 5000));
    for (int i = 0; i < 3; ++i) Send("after-" + std::to_string(i), {kEcho});
    auto texts = Collect(6);
    EXPECT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts.count("poison"), 0u);
    std::string body;
    ASSERT_TRUE(_amqp.Get(_dlq, &body, 1000));
    EXPECT_EQ(DecodeHead(body.data(), body.size()).guid, std::string("poison"));
}

// A crash returns every delivery the daemon held, and the broker counts each return: the
// restarted daemon's cautious start keeps the innocent ones from riding along again.
TEST_F(PoisonTest, OnlyThePoisonIsDeadLetteredAmongFiveHundred) {
    Declare(3, "workers=4\n");
    for (int i = 0; i < 500; ++i) {
        if (i == 236) Send("poison", {Hang(200), kCrash});
        Send("r-" + std::to_string(i), {Hang(20)});
    }
    EXPECT_EQ(RestartUntilDeadLettered(8), 4);
    auto texts = Collect(500, 30000);
    const int dead = _amqp.MessageCount(_dlq);
    std::cout << "answered " << texts.size() << " of 500 innocent; dead-lettered " << dead << "\n";
    EXPECT_EQ(texts.size(), 500u);
    EXPECT_EQ(texts.count("poison"), 0u);
    EXPECT_EQ(dead, 1);
}

}  // namespace
