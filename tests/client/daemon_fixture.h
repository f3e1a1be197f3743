// Running the real tolvane program in tests: start it as a daemon by its own path against
// the tests' broker node, talk to it over AMQP and through tolvane-call; finding it through
// its pid file, reading its log and stopping it by its pid is the daemon probe's.
#ifndef TOLVANE_TEST_DAEMON_FIXTURE_H
#define TOLVANE_TEST_DAEMON_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "amqp/wire.h"
#include "amqp_test_client.h"
#include "probe/daemon_probe.h"
#include "lookup_endpoint.h"
#include "paths.h"
#include "testutil.h"
#include "requester/call_client.h"

inline const std::string kDaemon = std::string(TEST_BINARY_DIR) + "/client/tolvane";
inline const std::string kCall = std::string(TEST_BINARY_DIR) + "/tools/tolvane-call";

using probe::ExeOf;
using probe::IsAlive;
using probe::PidInFile;
using probe::ServiceLog;
using probe::WaitFor;

// The built-in home's pid file and service log, which most tests use.
inline pid_t PidInFile() {
    return probe::PidInFile(TOLVANE_PID_FILE);
}
inline std::string ServiceLog() {
    return probe::ServiceLog(TOLVANE_HOME);
}

inline std::string RequestBody(const std::string& guid, const std::string& platform,
                               const std::vector<std::vector<std::string>>& records) {
    std::vector<std::string> texts;
    texts.reserve(records.size());
    for (const auto& r : records) texts.push_back(ParamText(r));
    std::string body, error;
    EXPECT_TRUE(BuildRequest(guid, platform, texts, &body, &error)) << error;
    return body;
}

using Reply = ResultText;

inline Reply ParseReply(const std::string& body) {
    EXPECT_EQ(body.size(), sizeof(RESULT));
    return DecodeResult(body.data(), body.size());
}

struct CallOutcome {
    int status;
    std::string output;
};

// Runs tolvane-call against the broker on `port`; output is stdout and stderr together.
inline CallOutcome Call(int port, const std::string& args) {
    std::string out = testutil::Capture(kCall + " --port " + std::to_string(port) +
                                        " --password guest " + args + " 2>&1; echo $?");
    out.pop_back();
    size_t nl = out.rfind('\n');
    std::string status = nl == std::string::npos ? out : out.substr(nl + 1);
    out.resize(nl == std::string::npos ? 0 : nl);
    return {atoi(status.c_str()), out};
}

// One daemon run: settings, endpoint, start by the program's own path, stop by its pid.
// Every daemon started is stopped at the test's end.
// The served queue and a reply exchange `platform` bound to the queue `replies` with the
// routing key `platform`, all declared fresh (purged) for one test.
inline bool DeclareRoute(TestAmqp& amqp, const std::string& queue, const std::string& platform,
                         const std::string& replies) {
    return amqp.DeclareQueue(queue) && amqp.PurgeQueue(queue) && amqp.DeclareExchange(platform) &&
           amqp.DeclareQueue(replies) && amqp.Bind(replies, platform, platform) &&
           amqp.PurgeQueue(replies);
}

inline void DeleteRoute(TestAmqp& amqp, const std::string& queue, const std::string& platform,
                        const std::string& replies) {
    amqp.DeleteQueue(queue);
    amqp.DeleteQueue(replies);
    amqp.DeleteExchange(platform);
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(TOLVANE_HOME "/cfg", 0755);
        // A marker left by a test that killed its daemon would start the next one cautious.
        testutil::TempDir::Run("rm -f '" TOLVANE_LOG_DIR "'/main-*.log '" TOLVANE_PID_FILE
                               "' '" TOLVANE_PID_FILE ".running'");
    }

    void TearDown() override { probe::StopPids(_started); }

    // Writes `home`'s cfg/mq.conf (creating the folders) and returns its text.
    std::string WriteConf(const std::string& queue, const std::string& lookupHost,
                          int amqpPort = TEST_AMQP_PORT, const std::string& home = TOLVANE_HOME) {
        std::string conf =
            "# settings of the daemon tests\nserver=127.0.0.1\nport=" + std::to_string(amqpPort) +
            "\nuserName=guest\npwd=guest\nvhost=/\n"
            "queue=" +
            queue + "\nlookup_host=" + lookupHost + "\n";
        mkdir(home.c_str(), 0755);
        mkdir((home + "/cfg").c_str(), 0755);
        testutil::WriteAll(home + "/cfg/mq.conf", conf);
        return conf;
    }

    // Starts the program with `args` and waits until `pidFile` names a live daemon; 0 on
    // failure.
    pid_t Start(const std::vector<std::string>& args = {},
                const std::string& pidFile = TOLVANE_PID_FILE) {
        std::vector<std::string> argv = {kDaemon};
        argv.insert(argv.end(), args.begin(), args.end());
        return Launch(argv, pidFile);
    }

    // Start with a whole command (the program behind a wrapper, say); the daemon it leaves is
    // stopped at the test's end.
    pid_t Launch(const std::vector<std::string>& argv, const std::string& pidFile) {
        int status = -1;
        const pid_t pid = probe::StartDaemon(argv, pidFile, 10000, &status);
        EXPECT_EQ(status, 0) << "the starting process returns at once with 0";
        if (pid > 0) _started.push_back(pid);
        return pid;
    }

    static void Stop(pid_t pid) { probe::StopPid(pid); }

    // A count-0 request answered through `platform` proves the daemon consumes `queue`.
    bool Answers(TestAmqp& amqp, const std::string& queue, int timeoutMs = 15000) {
        const std::string platform = "tolvane.t.probe", replies = "tolvane.t.probe.replies";
        if (!amqp.DeclareExchange(platform) || !amqp.DeclareQueue(replies) ||
            !amqp.Bind(replies, platform, platform) || !amqp.PurgeQueue(replies)) {
            return false;
        }
        const std::string guid = NewGuid();
        amqp.Publish("", queue, RequestBody(guid, platform, {}));
        std::string body;
        return amqp.Get(replies, &body, timeoutMs) && ParseReply(body).guid == guid;
    }

    std::vector<pid_t> _started;
    LookupEndpoint _endpoint;
};

// A daemon test with its served queue and reply route declared fresh for each test.
class RoutedDaemonTest : public DaemonTest {
protected:
    RoutedDaemonTest(const char* queue, const char* platform, const char* replies)
        : _queue(queue), _platform(platform), _replies(replies) {}
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_TRUE(_amqp.Connect());
        ASSERT_TRUE(DeclareRoute(_amqp, _queue, _platform, _replies));
    }
    void TearDown() override {
        DaemonTest::TearDown();
        DeleteRoute(_amqp, _queue, _platform, _replies);
    }

    // Starts the daemon on the served queue with `extra` lines at the end of its mq.conf,
    // kept in _conf; 0 on failure.
    pid_t StartWith(const std::string& extra) {
        _conf = WriteConf(_queue, "127.0.0.1:" + std::to_string(ClosedPort())) + extra;
        testutil::WriteAll(TOLVANE_MQ_CONF, _conf);
        return Start();
    }

    const std::string _queue, _platform, _replies;
    TestAmqp _amqp;
    std::string _conf;
};

#endif
