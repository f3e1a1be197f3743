// The daemon's command line: help and version, refused arguments, the foreground with its
// log on stderr, homes and pid files of its own, start-up failures told before detaching
// when an option is given, and the plain daemon's start-up when none is. tolvane-call's exit
// status, settings file and local run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "daemon_fixture.h"

using testutil::Capture;
using testutil::ReadAll;
using testutil::TempDir;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

// Runs `program` to its end with `args` (after the command `wrapper`, if any), capturing
// stdout and stderr apart.
Outcome RunProgram(const std::string& program, const TempDir& dir, const std::string& args,
                   const std::string& wrapper = "") {
    const std::string err = dir.file("stderr");
    std::string out = Capture(wrapper + program + " " + args + " 2>'" + err + "'; echo $?");
    size_t nl = out.rfind('\n', out.size() - 2);
    nl = nl == std::string::npos ? 0 : nl + 1;
    return {atoi(out.c_str() + nl), out.substr(0, nl), ReadAll(err)};
}

Outcome RunDaemon(const TempDir& dir, const std::string& args, const std::string& wrapper = "") {
    return RunProgram(kDaemon, dir, args, wrapper);
}

Outcome RunCall(const TempDir& dir, const std::string& args) {
    return RunProgram(kCall, dir, args);
}

class CommandLine : public DaemonTest {
protected:
    std::string NoLookup() { return "127.0.0.1:" + std::to_string(ClosedPort()); }
    TempDir _dir;
};

TEST_F(CommandLine, HelpAndVersionGoToStdout) {
    Outcome help = RunDaemon(_dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.find("usage: tolvane [--foreground] [--home DIR] [--pid-file FILE]"), 0u);
    EXPECT_EQ(help.err, "");
    Outcome version = RunDaemon(_dir, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tolvane " TOLVANE_TEST_VERSION "\n");
    EXPECT_EQ(version.err, "");
}

TEST_F(CommandLine, OtherArgumentsAreRefusedWithTheUsage) {
    for (const char* args : {"--bogus", "serve", "--home", "--pid-file=", "--home= --foreground"}) {
        SCOPED_TRACE(args);
        Outcome r = RunDaemon(_dir, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: tolvane"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(testutil::Exists(TOLVANE_PID_FILE)) << "nothing started";
}

TEST_F(CommandLine, ForegroundStaysAttachedAndLogsToStderr) {
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    ASSERT_TRUE(amqp.DeclareQueue("tolvane.t.front"));
    WriteConf("tolvane.t.front", NoLookup());
    const std::string err = _dir.file("front.err");
    const std::string background = kDaemon + " --foreground 2>'" + err + "' >/dev/null & echo $!";
    pid_t pid = atoi(Capture(background).c_str());
    ASSERT_GT(pid, 0);
    _started.push_back(pid);
    EXPECT_TRUE(WaitFor([&] { return PidInFile() == pid; }, 10000)) << "the process started";
    EXPECT_TRUE(Answers(amqp, "tolvane.t.front"));

    const std::string logged = ServiceLog();
    EXPECT_NE(logged, "");
    EXPECT_EQ(ReadAll(err), logged) << "every log line, as logged";

    Outcome second = RunDaemon(_dir, "--foreground");
    EXPECT_EQ(second.status, 1) << "not detached, so the refusal is its own exit status";
    EXPECT_EQ(ServiceLog(), logged + second.err);
    EXPECT_NE(second.err.find("] one instance is running!!!\n"), std::string::npos);
    amqp.DeleteQueue("tolvane.t.front");
}

TEST_F(CommandLine, WorkersAndCountersLineFollowTheSettings) {
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    ASSERT_TRUE(amqp.DeclareQueue("tolvane.t.counted"));
    WriteConf("tolvane.t.counted", NoLookup());
    testutil::WriteAll(TOLVANE_MQ_CONF, ReadAll(TOLVANE_MQ_CONF) + "workers=3\nstats_interval=1\n");
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Answers(amqp, "tolvane.t.counted"));
    EXPECT_EQ(probe::StatusValue(pid, "Threads"), 5) << "main, stop thread, 3 workers";
    EXPECT_TRUE(WaitFor(
        [] {
            return ServiceLog().find(
                       "] counters: received=1 replied=1 "
                       "reply_failed=0 plugin_failed=0 waiting=0 "
                       "running=0 reconnects=0 worker_restarts=0 call_timeouts=0 "
                       "spans_dropped=0\n") != std::string::npos;
        },
        5000));
    amqp.DeleteQueue("tolvane.t.counted");
}

TEST_F(CommandLine, OwnHomesAndPidFilesRunSideBySide) {
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    for (const char* name : {"one", "two"}) {
        const std::string queue = std::string("tolvane.t.home-") + name;
        ASSERT_TRUE(amqp.DeclareQueue(queue));
        WriteConf(queue, NoLookup(), TEST_AMQP_PORT, _dir.file(name));
    }
    const std::string one = _dir.file("one"), two = _dir.file("two");
    pid_t first = Start({"--home", one, "--pid-file", one + "/pid"}, one + "/pid");
    pid_t second = Start({"--home=" + two, "--pid-file=" + two + "/pid"}, two + "/pid");
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(Answers(amqp, "tolvane.t.home-one"));
    EXPECT_TRUE(Answers(amqp, "tolvane.t.home-two"));
    EXPECT_FALSE(testutil::Exists(TOLVANE_PID_FILE));
    EXPECT_EQ(ServiceLog(), "") << "the built-in home is left alone";
    amqp.DeleteQueue("tolvane.t.home-one");
    amqp.DeleteQueue("tolvane.t.home-two");
}

// A regular file where a folder must be stops even root.
TEST_F(CommandLine, ImpossibleStartIsToldBeforeDetaching) {
    const std::string file = _dir.file("plain"), conf = _dir.file("conf");
    ASSERT_TRUE(testutil::WriteAll(file, "x"));
    ASSERT_EQ(mkdir(conf.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((conf + "/cfg").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((conf + "/cfg/mq.conf").c_str(), 0755), 0);
    const struct {
        std::string args, named;
    } cases[] = {
        {"--home " + file, file + "/log"},
        {"--pid-file " + file + "/tolvane.pid", file + "/tolvane.pid"},
        {"--home " + conf, conf + "/cfg/mq.conf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome r = RunDaemon(_dir, c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    }
    EXPECT_FALSE(testutil::Exists(TOLVANE_PID_FILE)) << "no daemon was left to start";
}

// Root without its override of file permissions: the bits of a read-only mq.conf count.
const char kDropOverride[] = "--bounding-set=-dac_override,-dac_read_search";
const std::string kNoOverride = std::string("setpriv ") + kDropOverride + " ";

// A read-only mq.conf would be read as no file at all (the reader opens it for writing too).
// With an option that is refused before detaching; run bare, the start-up is the plain
// daemon's: the starter returns 0 and the daemon runs on the defaults.
TEST_F(CommandLine, ReadOnlySettingsRefusedWithOptionsOnlyBare) {
    if (TempDir::Run(kNoOverride + "true") != 0) GTEST_SKIP() << "cannot drop the override";
    WriteConf("tolvane.t.readonly", NoLookup());
    ASSERT_EQ(chmod(TOLVANE_MQ_CONF, 0444), 0);

    Outcome checked = RunDaemon(_dir, "--foreground", kNoOverride);
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.err, "tolvane: the settings file " TOLVANE_MQ_CONF
                           " must open for reading "
                           "and writing, or every setting in it is ignored: Permission denied\n");
    EXPECT_FALSE(testutil::Exists(TOLVANE_PID_FILE)) << "nothing started";

    EXPECT_GT(Launch({"setpriv", kDropOverride, kDaemon}, TOLVANE_PID_FILE), 0);
    chmod(TOLVANE_MQ_CONF, 0644);
}

// The daemon's own settings file reaches its queue; a failed call is told by status 4; an
// option on the command line wins over the file wherever it stands.
TEST_F(CommandLine, CallToolTakesTheSettingsFileAndTellsFailedCalls) {
    TestAmqp amqp;
    ASSERT_TRUE(amqp.Connect());
    ASSERT_TRUE(amqp.DeclareQueue("tolvane.t.call"));
    WriteConf("tolvane.t.call", NoLookup());
    ASSERT_GT(Start(), 0);
    const std::string config = "--config " TOLVANE_MQ_CONF " ";
    Outcome ok = RunCall(_dir, config + "comtype=echo nfunc=say text=10000:fine");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "10000:fine\n");
    Outcome failed = RunCall(_dir, config + "comtype=nosuch nfunc=x");
    EXPECT_EQ(failed.status, 4) << failed.err;
    EXPECT_EQ(failed.out, "get the method failed.\n");
    Outcome given = RunCall(_dir, "--port " + std::to_string(ClosedPort()) + " " + config + "a=b");
    EXPECT_EQ(given.status, 1) << "the closed port given, not the file's";
    // A pwd_file that cannot be read fails the call, not send the built-in password.
    const std::string missing = _dir.file("missing-pwd"), noPwd = _dir.file("nopwd.conf");
    testutil::WriteAll(noPwd, testutil::ReadAll(TOLVANE_MQ_CONF) + "pwd_file=" + missing + "\n");
    Outcome unread = RunCall(_dir, "--config " + noPwd + " a=b");
    EXPECT_EQ(unread.status, 2) << unread.err;
    EXPECT_NE(unread.err.find("pwd_file " + missing + " unreadable: No such file"),
              std::string::npos)
        << unread.err;
    amqp.DeleteQueue("tolvane.t.call");
}

// --local runs the records as the daemon does (path rule, redirect, chaining) without a broker,
// with the log lines on stderr and none in the home's log.
TEST_F(CommandLine, LocalCallRunsTheRecordsLikeTheDaemon) {
    const std::string local = "--local --home " TOLVANE_HOME " ";
    Outcome chained =
        RunCall(_dir, local + "comtype=echo nfunc=say text=10000:a -- comtype=server nfunc=x");
    EXPECT_EQ(chained.status, 0) << chained.err;
    EXPECT_EQ(chained.out, "10000:cloudcall arg=[param] nfunc=[x]\n");
    Outcome stopped =
        RunCall(_dir, local + "comtype=echo nfunc=say text=no -- comtype=echo nfunc=boom");
    EXPECT_EQ(stopped.status, 4);
    EXPECT_EQ(stopped.out, "no\n");
    EXPECT_NE(stopped.err.find("] no comtype=echo"), std::string::npos) << stopped.err;
    EXPECT_EQ(ServiceLog(), "");
    Outcome elsewhere = RunCall(_dir, "--local --home " + _dir.path() + " comtype=echo nfunc=echo");
    EXPECT_EQ(elsewhere.out, "get the method failed.\n") << "plug-ins of that home only";
}

// --local runs the home's isolation: under isolation=process a call past call_timeout is ended
// in its worker and fails, as in the daemon, instead of running to its end here.
TEST_F(CommandLine, LocalCallHonoursProcessIsolationAndCallTimeout) {
    mkdir(_dir.file("cfg").c_str(), 0755);
    mkdir(_dir.file("lib").c_str(), 0755);
    ASSERT_TRUE(
        testutil::WriteAll(_dir.file("cfg/mq.conf"), "isolation=process\ncall_timeout=1\n"));
    ASSERT_EQ(symlink(TOLVANE_HOME "/lib/libecho.so", _dir.file("lib/libecho.so").c_str()), 0);
    const auto start = std::chrono::steady_clock::now();
    Outcome slow =
        RunCall(_dir, "--local --home " + _dir.path() + " comtype=echo nfunc=sleep ms=20000");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(slow.status, 4);
    EXPECT_EQ(slow.out, "Try Catch Unknow error.\n") << slow.err;
}

}  // namespace
