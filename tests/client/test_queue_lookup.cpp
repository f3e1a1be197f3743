// GetQueue in process against a real HTTP endpoint on loopback, writing the scratch home's
// settings file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "tarrin/config.h"
#include "lookup_endpoint.h"
#include "paths.h"
#include "client/queue_lookup.h"
#include "testutil.h"

using testutil::ReadAll;
using testutil::WriteAll;

namespace {

class QueueLookup : public ::testing::Test {
protected:
    void SetUp() override { mkdir(TOLVANE_HOME "/cfg", 0755); }

    // A settings file with the usual keys around "queue", a comment line and a blank line.
    std::string WriteConf(const std::string& lookupHost) {
        std::string conf =
            "# broker of the tests\nserver=127.0.0.1\nqueue=old.name\n\n"
            "lookup_host=" +
            lookupHost + "\nport=5672\n";
        WriteAll(TOLVANE_MQ_CONF, conf);
        return conf;
    }

    // What a stored name makes of WriteConf's file: the queue line replaced, the blank gone.
    static std::string Stored(const std::string& lookupHost, const std::string& name) {
        return "# broker of the tests\nserver=127.0.0.1\nqueue=" + name +
               "\nlookup_host=" + lookupHost + "\nport=5672\n";
    }

    std::string LookUp(const std::vector<std::string>& options) {
        EXPECT_TRUE(_endpoint.Start(options));
        std::string conf = WriteConf(_endpoint.host());
        GetQueue();
        _endpoint.Stop();
        return conf;
    }

    // The service log lines written since the test began that start with `text`.
    static bool Logged(const std::string& text) {
        return testutil::Capture("cat '" TOLVANE_LOG_DIR "'/main-*.log 2>/dev/null")
                   .find("] queue name lookup: " + text) != std::string::npos;
    }

    static std::string QueueSetting() {
        Config config;
        config.LoadConfigFile(TOLVANE_MQ_CONF);
        return config.GetValue("queue", "<none>");
    }

    LookupEndpoint _endpoint;
};

TEST_F(QueueLookup, StoresTheNameWithAnEmptyPostAndLeavesOtherLines) {
    LookUp({"--body", "fresh.queue"});
    EXPECT_TRUE(Logged("stored queue=fresh.queue\n"));
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), Stored(_endpoint.host(), "fresh.queue"));
    EXPECT_EQ(_endpoint.Requests(), "POST /remoteService/getmqname.asp 0\n");
}

// The body arriving in pieces is one name; a NUL byte ends it.
TEST_F(QueueLookup, NameIsTheWholeBodyUpToANulByte) {
    const struct {
        std::vector<std::string> answer;
        const char* name;
    } cases[] = {
        {{"--body", "queue.sent.in.four.pieces", "--pieces", "4"}, "queue.sent.in.four.pieces"},
        {{"--body", "before.nul\\x00rest"}, "before.nul"},
    };
    for (const auto& c : cases) {
        LookUp(c.answer);
        EXPECT_EQ(QueueSetting(), c.name);
    }
}

// The line break is part of the stored value; the file keeps it as a blank line, which the
// next load drops, so readers see the bare name and the file stays loadable.
TEST_F(QueueLookup, TrailingLineBreakIsStoredAndTheFileStaysConsistent) {
    LookUp({"--body", "with.newline\\n"});
    std::string expected = Stored(_endpoint.host(), "with.newline");
    expected.insert(expected.find("with.newline\n") + 13, "\n");
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), expected);
    EXPECT_EQ(QueueSetting(), "with.newline");

    // The next rewrite leaves no trace of it.
    Config config;
    config.LoadConfigFile(TOLVANE_MQ_CONF);
    std::string key = "queue", value = "next.name";
    config.SetValue(key, value);
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), Stored(_endpoint.host(), "next.name"));
}

TEST_F(QueueLookup, AnswersThatAreNoQueueNameLeaveTheFileAlone) {
    const std::vector<std::vector<std::string>> answers = {
        {"--status", "500", "--body", "error page"},
        {"--status", "404", "--body", "missing"},
        {"--status", "302", "--body", "elsewhere"},
        {"--body", "two\\nlines"},
        {"--body", "name\\nserver=10.0.0.1\\n"},
        {"--body", "key=value"},
        {"--body", ""},
        {"--body", "\\n"},
        {"--body", "\\x00after.nul"},
        {"--body", std::string(5000, 'q')},
    };
    for (const auto& answer : answers) {
        const std::string conf = LookUp(answer);
        EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), conf) << "answer " << answer.back();
        // Each answer must really have been asked for, not met the port of an earlier start.
        EXPECT_EQ(_endpoint.Requests(), "POST /remoteService/getmqname.asp 0\n")
            << "answer " << answer.back();
    }
}

TEST_F(QueueLookup, EndpointDownLeavesTheFileAlone) {
    const std::string host = "127.0.0.1:" + std::to_string(ClosedPort());
    const std::string conf = WriteConf(host);
    GetQueue();
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), conf);
    EXPECT_TRUE(Logged("http://" + host + "/remoteService/getmqname.asp failed ("));
}

// An endpoint that accepts and never answers must not hold start-up for long.
TEST_F(QueueLookup, SilentEndpointIsGivenUpWithinTheTransferLimit) {
    auto start = std::chrono::steady_clock::now();
    const std::string conf = LookUp({"--silent", "--body", "never.sent"});
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LE(seconds, 20);
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), conf);
    EXPECT_EQ(_endpoint.Requests(), "POST /remoteService/getmqname.asp 0\n");
}

TEST_F(QueueLookup, FileWithoutAQueueLineGainsNone) {
    ASSERT_TRUE(_endpoint.Start({"--body", "some.name"}));
    const std::string conf = "server=127.0.0.1\nlookup_host=" + _endpoint.host() + "\n";
    WriteAll(TOLVANE_MQ_CONF, conf);
    GetQueue();
    EXPECT_EQ(ReadAll(TOLVANE_MQ_CONF), conf);
    EXPECT_TRUE(Logged("could not store queue=some.name"));
}

}  // namespace
