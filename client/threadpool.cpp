// The worker pool: a fixed set of threads taking jobs first in, first out from a linked chain
// guarded by one mutex. queue_tail makes queueing O(1) whatever the backlog.
#include "client/threadpool.h"

#include <stdlib.h>
#include <string.h>

namespace {

tpool_t* pool = nullptr;

// Body of every worker: runs jobs until shutdown, which wins over jobs still waiting.
void* thread_routine(void*) {
    for (;;) {
        pthread_mutex_lock(&pool->queue_lock);
        while (!pool->queue_head && !pool->shutdown) {
            pthread_cond_wait(&pool->queue_ready, &pool->queue_lock);
        }
        if (pool->shutdown) {
            pthread_mutex_unlock(&pool->queue_lock);
            pthread_exit(nullptr);
        }
        tpool_work_t* work = pool->queue_head;
        pool->queue_head = work->next;
        if (!pool->queue_head) {
            pool->queue_tail = nullptr;
        }
        --pool->waiting;
        ++pool->running;
        pthread_mutex_unlock(&pool->queue_lock);

        work->fun(work->arg);
        free(work);
        pthread_mutex_lock(&pool->queue_lock);
        --pool->running;
        pthread_mutex_unlock(&pool->queue_lock);
    }
    return nullptr;
}

}  // namespace

// MUST be called once, before any tpool_add_work. Any failure ends the process (status 1):
// the service cannot run without its workers.
int tpool_init(int max_thread_num) {
    pool = static_cast<tpool_t*>(malloc(sizeof(tpool_t)));
    if (!pool) {
        exit(1);
    }
    memset(pool, 0, sizeof(tpool_t));
    pool->max_thread_num = max_thread_num;
    pool->shutdown = 0;
    pool->queue_head = nullptr;
    pool->queue_tail = nullptr;
    if (pthread_mutex_init(&pool->queue_lock, nullptr) != 0) {
        free(pool);
        exit(1);
    }
    if (pthread_cond_init(&pool->queue_ready, nullptr) != 0) {
        pthread_mutex_destroy(&pool->queue_lock);
        free(pool);
        exit(1);
    }
    pool->pid = static_cast<pthread_t*>(calloc(max_thread_num, sizeof(pthread_t)));
    if (!pool->pid) {
        pthread_cond_destroy(&pool->queue_ready);
        pthread_mutex_destroy(&pool->queue_lock);
        free(pool);
        exit(1);
    }
    for (int i = 0; i < max_thread_num; ++i) {
        if (pthread_create(&pool->pid[i], nullptr, thread_routine, nullptr) != 0) {
            exit(1);
        }
    }
    return 0;
}

int tpool_add_work(void* (*fun)(void*), void* arg) {
    if (!fun || !pool) {
        return -1;
    }
    tpool_work_t* work = static_cast<tpool_work_t*>(malloc(sizeof(tpool_work_t)));
    if (!work) {
        return -1;
    }
    work->fun = fun;
    work->arg = arg;
    work->next = nullptr;

    pthread_mutex_lock(&pool->queue_lock);
    if (pool->queue_tail) {
        pool->queue_tail->next = work;
    } else {
        pool->queue_head = work;
    }
    pool->queue_tail = work;
    ++pool->waiting;
    pthread_cond_signal(&pool->queue_ready);
    pthread_mutex_unlock(&pool->queue_lock);
    return 0;
}

void tpool_counts(int* waiting, int* running) {
    *waiting = *running = 0;
    if (!pool) return;
    pthread_mutex_lock(&pool->queue_lock);
    *waiting = pool->waiting;
    *running = pool->running;
    pthread_mutex_unlock(&pool->queue_lock);
}

// MUST be called at most once, by one thread; no pool function may follow it.
void tpool_uninit() {
    if (!pool) {
        return;
    }
    pthread_mutex_lock(&pool->queue_lock);
    if (pool->shutdown) {
        pthread_mutex_unlock(&pool->queue_lock);
        return;
    }
    pool->shutdown = 1;
    pthread_cond_broadcast(&pool->queue_ready);
    pthread_mutex_unlock(&pool->queue_lock);

    for (int i = 0; i < pool->max_thread_num; ++i) {
        pthread_join(pool->pid[i], nullptr);
    }
    free(pool->pid);

    while (pool->queue_head) {
        tpool_work_t* work = pool->queue_head;
        pool->queue_head = work->next;
        free(work);
    }
    pthread_cond_destroy(&pool->queue_ready);
    pthread_mutex_destroy(&pool->queue_lock);
    free(pool);
    pool = nullptr;
}
