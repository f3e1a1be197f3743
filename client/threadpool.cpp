// The worker pool: a fixed set of threads taking jobs first in, first out from a linked chain
// guarded by one mutex. queue_tail makes queueing O(1) whatever the backlog.
#include "client/threadpool.h"

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

struct tpool {
    // Set by the thread that starts and ends the pool. pthread_create rather than std::thread:
    // a thread that will not start is a result to report, not an exception.
    int max_thread_num = 0;
    std::unique_ptr<pthread_t[]> pid;
    int started = 0;  // threads in pid
    // Guarded by queue_lock.
    bool shutdown = false;
    tpool_work_t* queue_head = nullptr;
    tpool_work_t* queue_tail = nullptr;  // last waiting job
    int waiting = 0;                     // jobs queued and not yet taken
    int running = 0;                     // jobs a worker is running
    std::mutex queue_lock;
    std::condition_variable queue_ready;
};

namespace {

// Set and cleared by the thread that calls tpool_init and tpool_uninit, which alone uses it
// unlocked. Other threads (the metrics endpoint, the signal thread's counters line) read the
// counts under publishedLock, which the release takes to unpublish the pool first; the workers
// get their pool as their argument.
tpool_t* pool = nullptr;
std::mutex publishedLock;

// Takes the first waiting job; `p->queue_lock` held, a job waiting.
tpool_work_t* TakeFirst(tpool_t* p) {
    tpool_work_t* work = p->queue_head;
    p->queue_head = work->next;
    if (!p->queue_head) p->queue_tail = nullptr;
    --p->waiting;
    return work;
}

// Body of every worker: runs jobs until shutdown, which wins over jobs still waiting.
void* thread_routine(void* arg) {
    tpool_t* p = static_cast<tpool_t*>(arg);
    std::unique_lock<std::mutex> lock(p->queue_lock);
    for (;;) {
        p->queue_ready.wait(lock, [p] { return p->queue_head || p->shutdown; });
        if (p->shutdown) return nullptr;
        tpool_work_t* work = TakeFirst(p);
        ++p->running;
        lock.unlock();
        work->fun(work->arg);
        delete work;
        lock.lock();
        --p->running;
    }
}

// Discards the waiting jobs, through their `drop`.
void DropWaiting(tpool_t* p) {
    tpool_work_t* discarded;
    {
        std::lock_guard<std::mutex> hold(p->queue_lock);
        discarded = p->queue_head;
        p->queue_head = p->queue_tail = nullptr;
        p->waiting = 0;
    }
    while (discarded) {
        tpool_work_t* work = discarded;
        discarded = work->next;
        if (work->drop) work->drop(work->arg);
        delete work;
    }
}

// Ends and joins the workers started so far (each after its running job), discards the
// waiting jobs and releases `p`.
void Release(tpool_t* p) {
    {
        std::lock_guard<std::mutex> hold(p->queue_lock);
        p->shutdown = true;
    }
    p->queue_ready.notify_all();
    DropWaiting(p);
    for (int i = 0; i < p->started; ++i) pthread_join(p->pid[i], nullptr);
    delete p;
}

}  // namespace

// MUST be called before any other pool function, by the thread that will call tpool_uninit.
int tpool_init(int max_thread_num) {
    if (pool || max_thread_num < 1) return -1;
    tpool_t* made = new (std::nothrow) tpool_t;
    if (!made) return -1;
    made->max_thread_num = max_thread_num;
    made->pid.reset(new (std::nothrow) pthread_t[max_thread_num]);
    if (!made->pid) {
        delete made;
        return -1;
    }
    for (; made->started < max_thread_num; ++made->started) {
        if (pthread_create(&made->pid[made->started], nullptr, thread_routine, made) != 0) {
            Release(made);
            return -1;
        }
    }
    std::lock_guard<std::mutex> hold(publishedLock);
    pool = made;
    return 0;
}

int tpool_add_work(void* (*fun)(void*), void* arg) {
    return tpool_add_work(fun, arg, nullptr);
}

int tpool_add_work(void* (*fun)(void*), void* arg, void (*drop)(void*)) {
    if (!fun || !pool) return -1;
    tpool_work_t* work = new (std::nothrow) tpool_work_t{fun, arg, nullptr, drop};
    if (!work) return -1;
    {
        std::lock_guard<std::mutex> hold(pool->queue_lock);
        if (pool->shutdown) {
            delete work;
            return -1;
        }
        if (pool->queue_tail) {
            pool->queue_tail->next = work;
        } else {
            pool->queue_head = work;
        }
        pool->queue_tail = work;
        ++pool->waiting;
    }
    pool->queue_ready.notify_one();
    return 0;
}

void tpool_counts(int* waiting, int* running) {
    *waiting = *running = 0;
    std::lock_guard<std::mutex> published(publishedLock);
    if (!pool) return;
    std::lock_guard<std::mutex> hold(pool->queue_lock);
    *waiting = pool->waiting;
    *running = pool->running;
}

void tpool_drop_waiting() {
    if (pool) DropWaiting(pool);
}

void tpool_uninit() {
    tpool_t* released = pool;
    if (!released) return;
    {
        std::lock_guard<std::mutex> hold(publishedLock);
        pool = nullptr;
    }
    Release(released);
}
