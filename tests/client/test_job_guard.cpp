// A job that throws outside the plug-in guard costs its own message only: here every read of
// the settings runs out of memory, as a real allocation failure would. And the hand-off of
// acknowledgements from a job to the consume loop at its boundaries.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "client/MSGOperation.h"
#include "client/job.h"
#include "client/threadpool.h"
#include "defines.h"
#include "paths.h"
#include "tarrin/config.h"
#include "testutil.h"

namespace {
std::atomic<int> loaderCalls{0};
}  // namespace

// Interposes libtarrin's loader for this program.
// NOLINTNEXTLINE(performance-unnecessary-value-param): it must match libtarrin's
bool Config::LoadConfigFile(std::string) {
    ++loaderCalls;
    throw std::bad_alloc();
}

namespace {

const char kGuardLine[] = "the message handling failed with an exception, the message is dropped";

// A count-0 request, in malloc'ed storage as the consumer delivers it.
amqp_envelope_t* Envelope(const char* guid) {
    auto* env = static_cast<amqp_envelope_t*>(calloc(1, sizeof(amqp_envelope_t)));
    T_MSG_HEAD head;
    memset(&head, 0, sizeof head);
    strcpy(head.guid, guid);
    amqp_bytes_t src = {sizeof head, &head};
    env->message.body = amqp_bytes_malloc_dup(src);
    return env;
}

size_t GuardLines() {
    std::string log = testutil::Capture("cat '" TOLVANE_LOG_DIR "'/main-*.log 2>/dev/null");
    size_t n = 0;
    for (size_t at = log.find(kGuardLine); at != std::string::npos;
         at = log.find(kGuardLine, at + 1))
        ++n;
    return n;
}

// The envelopes' release is checked by LeakSanitizer when the program ends.
TEST(JobGuard, ThrowOutsideThePluginCostsOneMessageNotTheWorker) {
    size_t before = GuardLines();
    EXPECT_EQ(ProcMSG(Envelope("guard-direct")), nullptr);
    EXPECT_EQ(GuardLines(), before + 1);

    ASSERT_EQ(tpool_init(1), 0);
    ASSERT_TRUE(QueueJob(EnvelopePtr(Envelope("guard-first")), JobContext()));
    ASSERT_TRUE(QueueJob(EnvelopePtr(Envelope("guard-second")), JobContext()));
    for (int i = 0; i < 100 && loaderCalls < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    tpool_uninit();
    EXPECT_EQ(loaderCalls, 3) << "the one worker lived on to take the second job";
    EXPECT_EQ(GuardLines(), before + 3);
}

// A ready one that a worker waits for goes out in the same flush even when held up behind an
// older delivery; the run from the oldest still shares one multiple acknowledgement.
TEST(AckWindow, AwaitedOneGoesOutAloneInTheSameFlush) {
    AckWindow w;
    for (uint64_t tag = 1; tag <= 4; ++tag) w.Delivered(tag);
    const AckWindow::Clock::time_point now = AckWindow::Clock::now();
    w.Ready(1, now);
    w.ReadyNow(2);
    w.ReadyNow(4);
    EXPECT_EQ(w.TakeRun(), 2u);
    EXPECT_EQ(w.TakeHeldUp(now - std::chrono::milliseconds(20)), std::vector<uint64_t>{4});
    EXPECT_EQ(w.EarliestReady(), AckWindow::Clock::time_point()) << "3 is not ready";
    w.Ready(3, now);
    EXPECT_EQ(w.TakeHeldUp(now - std::chrono::milliseconds(20)), std::vector<uint64_t>{});
    EXPECT_EQ(w.EarliestReady(), now) << "the next wake-up is due at its hold-up";
    EXPECT_EQ(w.TakeRun(), 3u);
    EXPECT_TRUE(w.Empty());
}

// A worker waiting for its acknowledgement goes on once the owner wrote it, and learns that it
// was not written when its connection went first, before or after it queued it.
TEST(AckQueue, AwaitedAcknowledgementIsWrittenOrDropped) {
    AckQueue q;
    q.SetLive(1);
    auto owner = [&q](unsigned written) {
        std::vector<PendingAck> batch;
        while ((batch = q.Take()).empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        q.Done(batch, written);
    };
    std::thread writes(owner, 1);
    EXPECT_TRUE(q.PushAndAwait(PendingAck{7, 1}, 0));
    writes.join();
    std::thread drops(owner, 0);  // as when the connection is lost meanwhile
    EXPECT_FALSE(q.PushAndAwait(PendingAck{8, 1}, 0));
    drops.join();
    q.SetLive(0);
    EXPECT_FALSE(q.PushAndAwait(PendingAck{9, 1}, 0)) << "the connection is gone: no wait";
    EXPECT_FALSE(q.QueuedUnawaited());
}

}  // namespace
