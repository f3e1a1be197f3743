// Message handling (ProcMSG) and plug-in calls (CallFun), in process, against the private
// broker node and the sample plug-ins that the test build puts into the scratch home.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <time.h>

#include <limits>
#include <string>
#include <vector>

#include "client/MSGOperation.h"
#include "client/request.h"
#include "client/trace.h"
#include "amqp_test_client.h"
#include "dravik/tools.h"
#include "paths.h"
#include "amqp/rabbit.h"
#include "testutil.h"

namespace {

using testutil::ReadAll;
using testutil::TempDir;

const char kPlatform[] = "tolvane-msgop-platform";  // reply exchange and routing key
const char kQueue[] = "tolvane-msgop-replies";
const std::string kLib = std::string(TOLVANE_HOME) + "/lib";

std::string TodaysLog() {
    time_t t = time(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    char name[100];
    snprintf(name, sizeof name, "main-%04d-%02d-%02d.log", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday);
    return std::string(TOLVANE_LOG_DIR) + "/" + name;
}

// What the service log gained since construction; an entry is "[stamp] text\n".
class LogTail {
public:
    LogTail() : _start(ReadAll(TodaysLog()).size()) {}
    std::string Text() const {
        std::string all = ReadAll(TodaysLog());
        return all.size() > _start ? all.substr(_start) : std::string();
    }
    size_t Count(const std::string& entry) const {
        std::string text = Text(), needle = "] " + entry + "\n";
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }
    bool Has(const std::string& entry) const { return Count(entry) > 0; }

private:
    size_t _start;
};

std::string Param(const std::string& comtype, const std::string& nfunc,
                  const std::string& more = "") {
    return "comtype=" + comtype + "\r\nnfunc=" + nfunc + "\r\n" + more;
}

T_MSG_SEND Record(const std::string& param) {
    T_MSG_SEND msg;
    memset(&msg, 0, sizeof msg);
    memcpy(msg.szParam, param.data(), std::min(param.size(), sizeof msg.szParam));
    return msg;
}

std::string Head(const std::string& guid, int32_t count, const std::string& platform = kPlatform) {
    T_MSG_HEAD head;
    memset(&head, 0, sizeof head);
    memcpy(head.guid, guid.data(), std::min(guid.size(), sizeof head.guid));
    head.count = count;
    memcpy(head.platform, platform.data(), std::min(platform.size(), sizeof head.platform));
    return std::string(reinterpret_cast<char*>(&head), sizeof head);
}

std::string Request(const std::string& guid, const std::vector<std::string>& params) {
    std::string body = Head(guid, int32_t(params.size()));
    for (const std::string& p : params) {
        T_MSG_SEND msg = Record(p);
        body.append(reinterpret_cast<char*>(&msg), sizeof msg);
    }
    return body;
}

// Hands ProcMSG an envelope as the consumer would: malloc'ed, its body a malloc'ed copy of
// exactly `body` (amqp_destroy_envelope frees it), so a read past the end is caught.
void RunJob(const std::string& body) {
    auto* env = static_cast<amqp_envelope_t*>(calloc(1, sizeof(amqp_envelope_t)));
    ASSERT_NE(env, nullptr);
    if (!body.empty()) {
        amqp_bytes_t src;
        src.len = body.size();
        src.bytes = const_cast<char*>(body.data());
        env->message.body = amqp_bytes_malloc_dup(src);
    }
    EXPECT_EQ(ProcMSG(env), nullptr);
}

std::string Call(const T_MSG_SEND& msg, std::string out = "") {
    CallFun(msg, out);
    return out;
}
std::string Call(const std::string& param) {
    return Call(Record(param));
}

bool IsLoaded(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

void WriteMqConf(int port, const std::string& extra = "") {
    TempDir::Run(std::string("mkdir -p '") + TOLVANE_HOME + "/cfg'");
    ASSERT_TRUE(
        testutil::WriteAll(TOLVANE_MQ_CONF, "server=127.0.0.1\nport=" + std::to_string(port) +
                                                "\nuserName=guest\npwd=guest\nvhost=/\n" + extra));
}

struct Reply {
    size_t size = 0;
    std::string guid;
    std::string result;
};

// Plug-in calls, straight through CallFun.
class CallFunTest : public ::testing::Test {};

TEST_F(CallFunTest, EchoSeesItsParametersThePreviousOutputAndParam) {
    LogTail log;
    std::string param = Param("echo", "echo", "k=v\r\n");
    EXPECT_EQ(Call(Record(param), "before"),
              "10000:prev=[before] arg=[param] comtype=echo k=v nfunc=echo");
    EXPECT_TRUE(log.Has(param));
    EXPECT_TRUE(log.Has("10000:prev=[before] arg=[param] comtype=echo k=v nfunc=echo " + param));
    EXPECT_FALSE(IsLoaded(kLib + "/libecho.so"));
}

TEST_F(CallFunTest, ServerIsRedirectedToVornCloudcall) {
    EXPECT_EQ(Call(Param("server", "anything")), "10000:cloudcall arg=[param] nfunc=[anything]");
    EXPECT_EQ(Call(Param(" server\t", "")), "10000:cloudcall arg=[param] nfunc=[]");
    EXPECT_EQ(Call(Param("Server", "cloudcall")), "get the method failed.");
    EXPECT_FALSE(IsLoaded(kLib + "/libvorn.so"));
}

TEST_F(CallFunTest, LibvornShortNameGetsTheEncodedParameters) {
    // The short name "libvorn.so" names the file liblibvorn.so.so.
    std::string file = kLib + "/liblibvorn.so.so";
    ASSERT_EQ(TempDir::Run("cp '" + kLib + "/libvorn.so' '" + file + "'"), 0);
    std::string param = Param("libvorn.so", "cloudcall", "x=\xC3\xA9\r\n");
    std::vector<char> encoded(3 * ((param.size() + 1) / 2) + 1);
    Base64Encode(&param[0], encoded.data());
    std::string out = Call(param);
    EXPECT_EQ(out, "10000:cloudcall arg=[" + std::string(encoded.data()) + "] nfunc=[cloudcall]");
    EXPECT_EQ(out.find("arg=[param]"), std::string::npos);
    EXPECT_EQ(TempDir::Run("rm -f '" + file + "'"), 0);
}

struct Failure {
    const char* name;
    std::string param;
    std::string reply;
    std::string logPrefix;  // the second log line is this prefix, a blank and the parameters
};

TEST_F(CallFunTest, FailuresGiveTheirTextAndLogLine) {
    const Failure cases[] = {
        {"no comtype", "nfunc=echo\r\n", "get the method failed.", "failed to open so"},
        {"unknown library", Param("nosuch", "echo"), "get the method failed.", "failed to open so"},
        {"no nfunc", "comtype=echo\r\n", "get the method failed.", "failed to get the function"},
        {"unknown function", Param("echo", "nosuch"), "get the method failed.",
         "failed to get the function"},
        // Found through the handle in the C library, not in the plug-in: never called.
        {"C library function", Param("echo", "abort"), "get the method failed.",
         "failed to get the function"},
        {"unparsable", Param("echo", "echo", "no equals sign\r\n"), "failed to reslove the param.",
         "failed to reslove the param."},
        {"throws", Param("echo", "boom"), "Try Catch Unknow error.", "try catch"},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.name);
        LogTail log;
        EXPECT_EQ(Call(Record(c.param), "earlier"), c.reply);
        EXPECT_TRUE(log.Has(c.param));
        EXPECT_TRUE(log.Has(c.logPrefix + " " + c.param)) << log.Text();
        EXPECT_FALSE(IsLoaded(kLib + "/libecho.so"));
    }
}

TEST_F(CallFunTest, ComtypeWithSlashCannotLeaveThePluginFolder) {
    // Without the check, lib/libx/../../other/libecho.so would load.
    std::string home = TOLVANE_HOME;
    ASSERT_EQ(TempDir::Run("mkdir -p '" + kLib + "/libx' '" + home + "/other' && cp '" + kLib +
                           "/libecho.so' '" + home + "/other/'"),
              0);
    LogTail log;
    std::string param = Param("x/../../other/libecho", "echo");
    EXPECT_EQ(Call(param), "get the method failed.");
    EXPECT_TRUE(log.Has("failed to open so " + param));
    EXPECT_FALSE(IsLoaded(home + "/other/libecho.so"));
    EXPECT_EQ(TempDir::Run("rm -rf '" + kLib + "/libx' '" + home + "/other'"), 0);
}

TEST_F(CallFunTest, ParamWithoutNulEndsAt4000Bytes) {
    // Every byte of the record is set; the field's last line "z=" has no CR LF of its own and
    // would only be completed by the "tail\r\n" in szDllName.
    std::string head = Param("echo", "echo", "pad=");
    std::string param = head + std::string(4000 - head.size() - 4, 'p') + "\r\nz=";
    ASSERT_EQ(param.size(), 4000u);
    T_MSG_SEND msg;
    memset(&msg, 'A', sizeof msg);
    memcpy(msg.szParam, param.data(), param.size());
    memcpy(msg.szDllName, "tail\r\n", 6);
    LogTail log;
    std::string out = Call(msg);
    EXPECT_EQ(out.compare(0, 6, "10000:"), 0);
    EXPECT_NE(out.find(" pad=ppp"), std::string::npos);
    EXPECT_EQ(out.find("z="), std::string::npos);
    EXPECT_EQ(out.find("tail"), std::string::npos);
    EXPECT_TRUE(log.Has(param));
}

TEST_F(CallFunTest, LongLogLineIsCutTo3999Characters) {
    std::string text(3900, 'L');
    std::string param = Param("echo", "say", "text=" + text + "\r\n");
    LogTail log;
    EXPECT_EQ(Call(param), text);
    std::string line = (text + " " + param).substr(0, 3999);
    EXPECT_TRUE(log.Has(line));
}

// Whole jobs: an envelope in, a RESULT out through the broker.
class ProcMSGTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WriteMqConf(TEST_AMQP_PORT);
        _peer = new TestAmqp;
        ASSERT_TRUE(_peer->Connect());
        ASSERT_TRUE(_peer->DeclareExchange(kPlatform));
        ASSERT_TRUE(_peer->DeclareQueue(kQueue));
        ASSERT_TRUE(_peer->Bind(kQueue, kPlatform, kPlatform));
    }
    static void TearDownTestSuite() {
        if (_peer) {
            _peer->DeleteQueue(kQueue);
            _peer->DeleteExchange(kPlatform);
        }
        delete _peer;
        _peer = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(_peer->PurgeQueue(kQueue)); }

    static bool GetReply(Reply* r, int timeoutMs = 5000) {
        std::string body;
        if (!_peer->Get(kQueue, &body, timeoutMs)) return false;
        r->size = body.size();
        body.resize(sizeof(T_RESULT));
        r->guid.assign(body.data(), strnlen(body.data(), 50));
        r->result.assign(body.data() + 50, strnlen(body.data() + 50, 1024));
        return true;
    }
    // The reply of a job that must answer.
    static Reply Answer(const std::string& body) {
        Reply r;
        RunJob(body);
        EXPECT_TRUE(GetReply(&r));
        EXPECT_EQ(r.size, sizeof(T_RESULT));
        return r;
    }

    static TestAmqp* _peer;
};
TestAmqp* ProcMSGTest::_peer = nullptr;

TEST_F(ProcMSGTest, EmptyBodyIsLoggedAndGetsNoReply) {
    LogTail log;
    RunJob("");
    EXPECT_TRUE(log.Has("PARAM TOO SHORT"));
    Reply r;
    EXPECT_FALSE(GetReply(&r, 500));
}

TEST_F(ProcMSGTest, CountZeroGetsAnEmptyResult) {
    LogTail log;
    Reply r = Answer(Head("g-zero", 0));
    EXPECT_EQ(r.guid, "g-zero");
    EXPECT_EQ(r.result, "");
    EXPECT_TRUE(log.Has("g-zero"));
}

TEST_F(ProcMSGTest, LengthNotMatchingTheCountRunsNothing) {
    std::string record = Request("", {Param("echo", "echo", "marker=never\r\n")}).substr(108);
    struct Case {
        const char* guid;
        int32_t count;
        std::string records;
    } cases[] = {
        {"g-two-for-one", 2, record},
        {"g-negative", -1, ""},
        {"g-negative-one", -1, record},
        {"g-zero-with-one", 0, record},
        // 108 + 4064 * count is 4172 again once wrapped to 32 bits.
        {"g-wraps", (1 << 27) + 1, record},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.guid);
        LogTail log;
        Reply r = Answer(Head(c.guid, c.count) + c.records);
        EXPECT_EQ(r.guid, c.guid);
        EXPECT_EQ(r.result, std::string("the length is wrong:") + c.guid);
        EXPECT_TRUE(log.Has(std::string("the length is wrong:") + c.guid));
        EXPECT_EQ(log.Text().find("marker=never"), std::string::npos);
    }
}

TEST_F(ProcMSGTest, BodyShorterThanTheHeadIsReadOnlyAsFarAsItGoes) {
    LogTail log;
    RunJob(std::string(30, 'q'));  // no NUL, no platform: the reply goes nowhere
    EXPECT_TRUE(log.Has("the length is wrong:" + std::string(30, 'q')));

    Reply r = Answer(Head("g-107", 0).substr(0, 107));
    EXPECT_EQ(r.guid, "g-107");
    EXPECT_EQ(r.result, "the length is wrong:g-107");
}

TEST_F(ProcMSGTest, GuidAndPlatformWithoutNulAreCutTo49) {
    std::string platform = "tolvane-msgop-platform-of-forty-nine-characters-x";
    ASSERT_EQ(platform.size(), 49u);
    ASSERT_TRUE(_peer->DeclareExchange(platform));
    ASSERT_TRUE(_peer->Bind(kQueue, platform, platform));
    std::string body = Head(std::string(50, 'g'), 0, platform + "Z");
    body[50] = body[51] = body[106] = body[107] = 'P';  // padding without NUL as well
    LogTail log;
    Reply r = Answer(body);
    EXPECT_EQ(r.guid, std::string(49, 'g'));
    EXPECT_EQ(r.result, "");
    EXPECT_TRUE(log.Has(std::string(49, 'g')));
    _peer->DeleteExchange(platform);
}

TEST_F(ProcMSGTest, GuidWithLineBreaksCannotForgeLogLines) {
    const std::string guid = "x\n[2026-01-01,00:00:00] FORGED\r";
    LogTail log;
    EXPECT_EQ(Answer(Head(guid, 0)).guid, guid) << "the reply echoes the guid unchanged";
    EXPECT_TRUE(log.Has("x\\n[2026-01-01,00:00:00] FORGED\\r"));
    EXPECT_EQ(log.Text().find("\n[2026-01-01"), std::string::npos);
}

TEST_F(ProcMSGTest, OneRecordRepliesItsOutput) {
    Reply r = Answer(Request("g-one", {Param("echo", "echo")}));
    EXPECT_EQ(r.guid, "g-one");
    EXPECT_EQ(r.result, "10000:prev=[] arg=[param] comtype=echo nfunc=echo");
}

TEST_F(ProcMSGTest, ChainedRecordsCarryTheOutputAlong) {
    Reply r = Answer(
        Request("g-chain", {Param("echo", "echo", "k=1\r\n"), Param("echo", "echo", "k=2\r\n")}));
    EXPECT_EQ(r.result,
              "10000:prev=[10000:prev=[] arg=[param] comtype=echo k=1 nfunc=echo] arg=[param] "
              "comtype=echo k=2 nfunc=echo");
}

TEST_F(ProcMSGTest, OutputNotStartingWith10000StopsTheRequest) {
    const std::string second = Param("echo", "echo", "marker=second\r\n");
    struct Case {
        std::string first;
        std::string reply;
    } cases[] = {
        {Param("echo", "say", "text=done\r\n"), "done"},
        {Param("echo", "say", "text=ok 10000:later\r\n"), "ok 10000:later"},
        {Param("echo", "say", "text=10000\r\n"), "10000"},
        {Param("echo", "nosuch"), "get the method failed."},
        {Param("echo", "boom"), "Try Catch Unknow error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        LogTail log;
        Reply r = Answer(Request("g-stop", {c.first, second}));
        EXPECT_EQ(r.result, c.reply);
        EXPECT_EQ(log.Text().find("marker=second"), std::string::npos);
    }
}

TEST_F(ProcMSGTest, ResultLongerThan1023IsCut) {
    Reply r = Answer(
        Request("g-long", {Param("echo", "say", "text=" + std::string(2000, 'r') + "\r\n")}));
    EXPECT_EQ(r.result, std::string(1023, 'r'));
}

TEST_F(ProcMSGTest, MissingExchangeIsLoggedOnceAndTheServiceGoesOn) {
    const std::string nowhere = "tolvane-msgop-nowhere";
    _peer->DeleteExchange(nowhere);
    // An output long enough to make the failure line outgrow its buffer.
    std::string text(3960, 'm');
    std::string body = Head("g-lost", 1, nowhere) +
                       Request("", {Param("echo", "echo", "text=" + text + "\r\n")}).substr(108);
    std::string out = "10000:prev=[] arg=[param] comtype=echo nfunc=echo text=" + text;
    std::string line = ("g-lost send result faild.the result is: " + out).substr(0, 3999);
    // The broker closes the channel on the publish, before the commit or the confirm.
    for (const char* commit : {"", "reply_commit=confirm\n"}) {
        SCOPED_TRACE(commit);
        WriteMqConf(TEST_AMQP_PORT, commit);
        LogTail log;
        RunJob(body);
        EXPECT_EQ(log.Count(line), 1u);
        // The next line says where the reply went and what the broker answered.
        const std::string after = log.Text().substr(log.Text().find(line) + line.size());
        const std::string detail = after.substr(0, after.find('\n', 1));
        EXPECT_NE(detail.find("exchange \"" + nowhere + "\""), std::string::npos) << detail;
        EXPECT_NE(detail.find("404"), std::string::npos) << detail;

        Reply r = Answer(Head("g-after", 0));
        EXPECT_EQ(r.guid, "g-after");
    }
    WriteMqConf(TEST_AMQP_PORT);
}

TEST_F(ProcMSGTest, SettingsAreReadForEveryMessage) {
    WriteMqConf(1);  // nothing listens there
    LogTail log;
    RunJob(Head("g-noconn", 0));
    EXPECT_TRUE(log.Has("g-noconn send result faild.the result is: "));
    EXPECT_NE(log.Text().find("cannot connect to the broker at 127.0.0.1:1: "), std::string::npos);
    WriteMqConf(TEST_AMQP_PORT);
    Reply r = Answer(Head("g-conn", 0));
    EXPECT_EQ(r.guid, "g-conn");
}

// "<version>-<trace>-<span><tail>".
std::string TraceParentText(const std::string& version, const std::string& trace,
                            const std::string& span, const std::string& tail) {
    std::string text = version;
    text.append("-").append(trace).append("-").append(span).append(tail);
    return text;
}

// A request's W3C traceparent: version 00 exactly, a later version's first four fields.
TEST(RequestContext, TraceParentIsReadOnlyWhenWellFormed) {
    const std::string trace = "4bf92f3577b34da6a3ce929d0e0e4736", span = "00f067aa0ba902b7";
    const std::string zeros(32, '0');
    TraceParent p;
    ASSERT_TRUE(ParseTraceParent(TraceParentText("00", trace, span, "-01"), &p));
    EXPECT_EQ(p.trace_id, trace);
    EXPECT_EQ(p.span_id, span);
    EXPECT_EQ(p.flags, 1u);
    EXPECT_EQ(FormatTraceParent(p), TraceParentText("00", trace, span, "-01"));
    ASSERT_TRUE(ParseTraceParent(TraceParentText("cc", trace, span, "-09-later"), &p));
    EXPECT_EQ(p.flags, 9u);
    for (const std::string& bad : {
             TraceParentText("00", "4BF92F3577B34DA6A3CE929D0E0E4736", span, "-01"),  // uppercase
             TraceParentText("00", zeros, span, "-01"),              // all-zero trace id
             TraceParentText("00", trace, zeros.substr(16), "-01"),  // all-zero span id
             TraceParentText("ff", trace, span, "-01"),              // version ff
             TraceParentText("00", trace, span, "-01-more"),         // 00 with more fields
             TraceParentText("00", trace, span, "-1"),               // too short
             TraceParentText("cc", trace, span, "-01more"),          // no dash before more
         }) {
        TraceParent untouched;
        EXPECT_FALSE(ParseTraceParent(bad, &untouched)) << bad;
        EXPECT_TRUE(untouched.trace_id.empty()) << bad;
    }
}

// A tracestate goes on as Trace Context bounds it: its valid members in order, 32 at most and
// 512 bytes in all, members over 128 bytes dropped first, then members from the end.
TEST(RequestContext, TraceStateIsCutAsTraceContextAsks) {
    const std::string parent =
        TraceParentText("00", "4bf92f3577b34da6a3ce929d0e0e4736", "00f067aa0ba902b7", "-01");
    auto passedOn = [&parent](const std::string& state) {
        return TraceOf({{"traceparent", parent}, {"tracestate", state}}).state;
    };
    EXPECT_EQ(passedOn(std::string(" a=1 ,,Bad=2,b=x=y,n=\x7f,nul=a\0b,c=3\t", 35)), "a=1,c=3");
    std::string forty, first32;
    for (int i = 0; i < 40; ++i) {
        const std::string member = "k" + std::to_string(i) + "=v";
        forty += (i ? "," : "") + member;
        if (i < 32) first32 += (i ? "," : "") + member;
    }
    EXPECT_EQ(passedOn(forty), first32);
    std::string mids[5];
    for (int i = 0; i < 5; ++i) mids[i] = "m" + std::to_string(i) + "=" + std::string(120, 'y');
    const std::string four = mids[0] + "," + mids[1] + "," + mids[2] + "," + mids[3];
    EXPECT_EQ(passedOn(mids[0] + ",long=" + std::string(200, 'x') + "," + mids[1] + "," + mids[2] +
                       "," + mids[3] + "," + mids[4]),
              four);
    EXPECT_EQ(passedOn(four), four) << "within the bounds: as it came";
}

// A delivery carrying `value` as its "deadline" header.
int64_t DeadlineOf(const amqp_field_value_t& value) {
    amqp_table_entry_t entry;
    entry.key = amqp_cstring_bytes("deadline");
    entry.value = value;
    amqp_envelope_t env = {};
    env.message.properties._flags = AMQP_BASIC_HEADERS_FLAG;
    env.message.properties.headers.num_entries = 1;
    env.message.properties.headers.entries = &entry;
    return ParseRequest(env).deadline_ms;
}

amqp_field_value_t Field(uint8_t kind) {
    amqp_field_value_t v = {};
    v.kind = kind;
    return v;
}

amqp_field_value_t Text(const char* text) {
    amqp_field_value_t v = Field(AMQP_FIELD_KIND_UTF8);
    v.value.bytes = amqp_cstring_bytes(text);
    return v;
}

// Whatever a requester's library makes of a number; anything else is no deadline.
TEST(RequestContext, DeadlineHeaderIsReadFromAnyNumberAndNeverFails) {
    const int64_t ms = 1760000000123;
    amqp_field_value_t v = Field(AMQP_FIELD_KIND_I64);
    v.value.i64 = ms;
    EXPECT_EQ(DeadlineOf(v), ms);
    v = Field(AMQP_FIELD_KIND_U64);
    v.value.u64 = ms;
    EXPECT_EQ(DeadlineOf(v), ms);
    v = Field(AMQP_FIELD_KIND_I32);
    v.value.i32 = 2000000000;
    EXPECT_EQ(DeadlineOf(v), 2000000000);
    v = Field(AMQP_FIELD_KIND_U8);
    v.value.u8 = 200;
    EXPECT_EQ(DeadlineOf(v), 200);
    v = Field(AMQP_FIELD_KIND_F64);
    v.value.f64 = 1760000000123.7;
    EXPECT_EQ(DeadlineOf(v), ms);
    EXPECT_EQ(DeadlineOf(Text("1760000000123")), ms);

    v = Field(AMQP_FIELD_KIND_I64);
    v.value.i64 = -5;
    EXPECT_EQ(DeadlineOf(v), 0) << "negative";
    v = Field(AMQP_FIELD_KIND_U64);
    v.value.u64 = UINT64_MAX;
    EXPECT_EQ(DeadlineOf(v), 0) << "past int64";
    v = Field(AMQP_FIELD_KIND_F64);
    v.value.f64 = std::numeric_limits<double>::infinity();
    EXPECT_EQ(DeadlineOf(v), 0) << "infinite";
    v = Field(AMQP_FIELD_KIND_BOOLEAN);
    v.value.boolean = 1;
    EXPECT_EQ(DeadlineOf(v), 0) << "a boolean";
    for (const char* garbage : {"", "soon", "12ab", "-12", " 12", "99999999999999999999"}) {
        EXPECT_EQ(DeadlineOf(Text(garbage)), 0) << garbage;
    }
    EXPECT_EQ(ParseRequest(amqp_envelope_t{}).deadline_ms, 0) << "no headers";
}

}  // namespace
