// The worker pool with real threads: concurrency up to the pool size, strict FIFO hand-out,
// and an orderly stop that lets running jobs finish and hands waiting ones back unrun.
#include "client/threadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const auto kPatience = std::chrono::seconds(10);

// Shared state of the jobs of one test: who started, in which order, and a gate per job.
struct Board {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> started;
    std::vector<int> finished;
    std::vector<int> dropped;
    std::vector<bool> open;
    bool openAll = false;

    explicit Board(int jobs) : open(jobs, false) {}

    bool WaitStarted(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, limit, [&] { return started.size() >= n; });
    }
    void Open(int id) {
        std::lock_guard<std::mutex> lock(m);
        open[id] = true;
        cv.notify_all();
    }
    void OpenAll() {
        std::lock_guard<std::mutex> lock(m);
        openAll = true;
        cv.notify_all();
    }
};

struct Job {
    Board* board;
    int id;
};

// Records its start, blocks until its gate opens (or the test's patience ends), records its end.
void* GatedJob(void* arg) {
    Job* job = static_cast<Job*>(arg);
    Board& b = *job->board;
    std::unique_lock<std::mutex> lock(b.m);
    b.started.push_back(job->id);
    b.cv.notify_all();
    b.cv.wait_for(lock, kPatience, [&] { return b.openAll || b.open[job->id]; });
    b.finished.push_back(job->id);
    b.cv.notify_all();
    return nullptr;
}

// A job discarded unrun: its argument comes back to its owner.
void DropJob(void* arg) {
    Job* job = static_cast<Job*>(arg);
    std::lock_guard<std::mutex> lock(job->board->m);
    job->board->dropped.push_back(job->id);
}

std::vector<Job> MakeJobs(Board& board, int n) {
    std::vector<Job> jobs;
    jobs.reserve(n);
    for (int i = 0; i < n; ++i) jobs.push_back(Job{&board, i});
    return jobs;
}

}  // namespace

TEST(ThreadPool, TenJobsOnTenIdleThreadsRunTogether) {
    tpool_init(10);
    Board board(10);
    std::vector<Job> jobs = MakeJobs(board, 10);
    for (Job& j : jobs) ASSERT_EQ(0, tpool_add_work(GatedJob, &j));

    // Every job holds its thread until released: all ten starting proves they run at once.
    EXPECT_TRUE(board.WaitStarted(10, kPatience));
    board.OpenAll();
    tpool_uninit();
    EXPECT_EQ(10u, board.finished.size());
}

TEST(ThreadPool, EleventhJobWaitsForAFreeThreadAndIsTheEleventhQueued) {
    tpool_init(10);
    Board board(12);
    std::vector<Job> jobs = MakeJobs(board, 12);
    for (Job& j : jobs) ASSERT_EQ(0, tpool_add_work(GatedJob, &j));

    ASSERT_TRUE(board.WaitStarted(10, kPatience));
    EXPECT_FALSE(board.WaitStarted(11, std::chrono::milliseconds(300)));

    board.Open(3);
    ASSERT_TRUE(board.WaitStarted(11, kPatience));
    {
        std::lock_guard<std::mutex> lock(board.m);
        EXPECT_EQ(10, board.started[10]);
    }
    board.OpenAll();
    ASSERT_TRUE(board.WaitStarted(12, kPatience));
    tpool_uninit();
    EXPECT_EQ(12u, board.finished.size());
}

// Failures come back to the caller: the service logs them and exits itself.
TEST(ThreadPool, NullFunctionAndImpossiblePoolsAreRefused) {
    EXPECT_EQ(-1, tpool_init(0));
    ASSERT_EQ(0, tpool_init(1));
    EXPECT_EQ(-1, tpool_init(1)) << "a second pool over the first";
    int arg = 0;
    EXPECT_EQ(-1, tpool_add_work(nullptr, &arg));
    tpool_uninit();
}

// A single worker drains the chain to empty and then gets more: the tail of the chain must be
// forgotten when the last job leaves, or new jobs hang off freed memory.
TEST(ThreadPool, SingleWorkerRunsJobsInQueueOrderAcrossAnEmptyQueue) {
    tpool_init(1);
    const int n = 500;
    Board board(n + 1);
    std::vector<Job> jobs = MakeJobs(board, n + 1);
    board.OpenAll();
    ASSERT_EQ(0, tpool_add_work(GatedJob, &jobs[0]));
    ASSERT_TRUE(board.WaitStarted(1, kPatience));
    {
        std::unique_lock<std::mutex> lock(board.m);
        ASSERT_TRUE(board.cv.wait_for(lock, kPatience, [&] { return board.finished.size() == 1; }));
    }
    for (int i = 1; i <= n; ++i) ASSERT_EQ(0, tpool_add_work(GatedJob, &jobs[i]));
    ASSERT_TRUE(board.WaitStarted(n + 1, kPatience));
    tpool_uninit();
    for (int i = 0; i <= n; ++i) ASSERT_EQ(i, board.started[i]);
}

TEST(ThreadPool, UninitFinishesRunningJobsAndDropsWaitingOnes) {
    tpool_init(2);
    Board board(5);
    std::vector<Job> jobs = MakeJobs(board, 5);
    ASSERT_EQ(0, tpool_add_work(GatedJob, &jobs[0]));
    ASSERT_EQ(0, tpool_add_work(GatedJob, &jobs[1]));
    ASSERT_TRUE(board.WaitStarted(2, kPatience));
    for (int i = 2; i < 5; ++i) ASSERT_EQ(0, tpool_add_work(GatedJob, &jobs[i], DropJob));

    std::mutex m;
    std::condition_variable cv;
    bool returned = false;
    std::thread stopper([&] {
        tpool_uninit();
        std::lock_guard<std::mutex> lock(m);
        returned = true;
        cv.notify_all();
    });
    // The stopper needs this long to set the shutdown flag before the gates open; on a
    // loaded machine one second was too tight.
    {
        std::unique_lock<std::mutex> lock(m);
        EXPECT_FALSE(cv.wait_for(lock, std::chrono::seconds(3), [&] { return returned; }))
            << "tpool_uninit returned while jobs were still running";
    }
    board.OpenAll();
    stopper.join();

    EXPECT_EQ(2u, board.started.size());
    EXPECT_EQ(2u, board.finished.size());
    EXPECT_EQ((std::vector<int>{2, 3, 4}), board.dropped) << "each waiting job handed back once";
}

// The metrics endpoint and the signal thread read the counts from their own threads while the
// stop releases the pool: a read never reaches a released pool.
TEST(ThreadPool, CountsReadFromAnotherThreadSurviveThePoolsRelease) {
    std::atomic<bool> done{false};
    std::thread reader([&] {
        int waiting, running;
        while (!done) tpool_counts(&waiting, &running);
    });
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(0, tpool_init(1));
        tpool_uninit();
    }
    done = true;
    reader.join();
}
