// The worker wire as the daemon reads it: whatever a worker sends, truncated, unmarked, too
// long or from a worker that died, ends in a refusal, never a wait or a wrong answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "core/worker_wire.h"

namespace {

PluginCall SampleCall() {
    PluginCall call;
    call.soName = "echo";
    call.func = "say";
    call.encodeParam = std::string("a\0b", 3);
    call.strOut = "10000:before";
    call.cache = true;
    call.dictParam = {{"comtype", "echo"}, {"text", "hi"}};
    return call;
}

TEST(WorkerWire, EveryTruncatedPayloadIsRefused) {
    const std::string call = EncodeCall(SampleCall());
    const std::string answer = EncodeAnswer(CallEnd::kReturned, "10000:out");
    PluginCall decoded;
    CallEnd end = CallEnd::kDied;
    std::string out;
    for (size_t n = 0; n < call.size(); ++n)
        EXPECT_FALSE(DecodeCall(call.substr(0, n), &decoded)) << n;
    for (size_t n = 0; n < answer.size(); ++n)
        EXPECT_FALSE(DecodeAnswer(answer.substr(0, n), &end, &out)) << n;
    EXPECT_FALSE(DecodeAnswer(answer + "x", &end, &out)) << "a byte too many";
    ASSERT_TRUE(DecodeCall(call, &decoded));
    EXPECT_EQ(decoded.encodeParam, SampleCall().encodeParam);
    EXPECT_EQ(decoded.dictParam, SampleCall().dictParam);
    ASSERT_TRUE(DecodeAnswer(answer, &end, &out));
    EXPECT_EQ(end, CallEnd::kReturned);
    EXPECT_EQ(out, "10000:out");
}

class WireSocket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, _sv), 0); }
    void TearDown() override {
        for (int fd : _sv)
            if (fd >= 0) close(fd);
    }

    // Reads the frame WriteFrame makes, only its first `keep` bytes written before the
    // writer's end closed.
    static FrameRead ReadCut(size_t keep) {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const std::string whole = EncodeAnswer(CallEnd::kReturned, "10000:x");
        EXPECT_TRUE(WriteFrame(pair[0], 9, whole));
        std::string cut(12 + whole.size(), '\0');
        EXPECT_EQ(recv(pair[1], &cut[0], cut.size(), MSG_WAITALL), ssize_t(cut.size()));
        EXPECT_EQ(write(pair[0], cut.data(), keep), ssize_t(keep));
        close(pair[0]);
        FrameWait wait;
        wait.timeoutMs = 5000;
        Frame frame;
        const FrameRead r = ReadFrame(pair[1], wait, &frame);
        close(pair[1]);
        return r;
    }

    int _sv[2] = {-1, -1};
};

TEST_F(WireSocket, AFrameCutShortIsAClosedStream) {
    EXPECT_EQ(ReadCut(6), FrameRead::kClosed) << "in the head";
    EXPECT_EQ(ReadCut(15), FrameRead::kClosed) << "in the payload";
    EXPECT_EQ(ReadCut(12 + 8 + 7), FrameRead::kRead) << "whole";
}

TEST_F(WireSocket, NumberTravelsWithTheFrame) {
    ASSERT_TRUE(WriteFrame(_sv[0], 41, "payload"));
    Frame frame;
    ASSERT_EQ(ReadFrame(_sv[1], FrameWait(), &frame), FrameRead::kRead);
    EXPECT_EQ(frame.number, 41u);
    EXPECT_EQ(frame.payload, "payload");
}

// Refused from the head alone: nothing waits for, or allocates, the announced bytes.
TEST_F(WireSocket, UnmarkedOrOverlongHeadIsMalformedAtOnce) {
    FrameWait wait;
    wait.timeoutMs = 10000;
    wait.maxPayload = 100;
    Frame frame;
    ASSERT_TRUE(WriteFrame(_sv[0], 1, std::string(101, 'x')));
    EXPECT_EQ(ReadFrame(_sv[1], wait, &frame), FrameRead::kMalformed);
    EXPECT_LT(frame.payload.size(), 101u);
    const char junk[] = "hi\x1a\x00\x00\x00\x00\x00\x00\x00\x00\x00";
    ASSERT_EQ(write(_sv[0], junk, 12), 12);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadFrame(_sv[1], wait, &frame), FrameRead::kMalformed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A peer that died while another process still holds its end is noticed within a second or
// so, without and with a time limit.
TEST_F(WireSocket, PeerEndedWhileItsEndStaysOpenIsAClosedStream) {
    ASSERT_TRUE(WakeEverySecond(_sv[1]));
    for (int timeoutMs : {-1, 60000}) {
        const pid_t kid = fork();
        if (kid == 0) _exit(0);
        ASSERT_GT(kid, 0);
        FrameWait wait;
        wait.timeoutMs = timeoutMs;
        wait.peer = kid;
        Frame frame;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ReadFrame(_sv[1], wait, &frame), FrameRead::kClosed) << timeoutMs;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        waitpid(kid, nullptr, 0);
    }
}

}  // namespace
