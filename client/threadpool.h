// Process-wide pool of worker threads fed by a first-in, first-out job chain.
// The pool never touches a job's argument: the job function owns it, and a job queued with a
// `drop` function hands its argument to that function when it is discarded unrun.
#ifndef TOLVANE_CLIENT_THREADPOOL_H
#define TOLVANE_CLIENT_THREADPOOL_H

typedef struct tpool_work {
    void* (*fun)(void*);
    void* arg;
    struct tpool_work* next;
    void (*drop)(void*);  // releases `arg` of a job discarded unrun; null: nothing to release
} tpool_work_t;

// The pool's own record (threadpool.cpp).
typedef struct tpool tpool_t;

// Starts max_thread_num workers; 0, or -1 when the pool could not be made (no memory, a
// thread that would not start, max_thread_num below 1, a pool already there): then no
// worker runs.
int tpool_init(int max_thread_num);
// 0 queued; -1 for a null function, no memory, or no pool taking jobs (the caller keeps `arg`).
int tpool_add_work(void* (*fun)(void*), void* arg);
int tpool_add_work(void* (*fun)(void*), void* arg, void (*drop)(void*));
// How many jobs wait and how many run right now (zeros before tpool_init and once tpool_uninit
// began). Any thread, at any time.
void tpool_counts(int* waiting, int* running);
// Discards the jobs waiting (through their `drop`); the running ones go on.
void tpool_drop_waiting();
// Finishes running jobs, discards waiting ones (through their `drop`), ends the workers and
// releases the pool. MUST be called at most once per tpool_init, by the thread that called
// it; no pool function but tpool_init may follow.
void tpool_uninit();

#endif
