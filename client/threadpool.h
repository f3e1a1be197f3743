// Process-wide pool of worker threads fed by a first-in, first-out job chain.
// The pool never touches a job's argument: the job function owns it.
#ifndef TOLVANE_THREADPOOL_H
#define TOLVANE_THREADPOOL_H

#include <pthread.h>

typedef struct tpool_work {
    void* (*fun)(void*);
    void* arg;
    struct tpool_work* next;
} tpool_work_t;

typedef struct tpool {
    int shutdown;
    int max_thread_num;
    pthread_t* pid;
    tpool_work_t* queue_head;
    pthread_mutex_t queue_lock;
    pthread_cond_t queue_ready;
    tpool_work_t* queue_tail;  // last waiting job, so queueing costs O(1)
    int waiting;               // jobs queued and not yet taken
    int running;               // jobs a worker is running
} tpool_t;

// Starts max_thread_num workers; returns 0, or ends the process with status 1.
int tpool_init(int max_thread_num);
// 0 queued; -1 for a null function or no memory (the caller keeps `arg`).
int tpool_add_work(void* (*fun)(void*), void* arg);
// How many jobs wait and how many run right now (zeros before tpool_init).
void tpool_counts(int* waiting, int* running);
// Finishes running jobs, drops waiting ones (their arguments are not released).
void tpool_uninit();

#endif
