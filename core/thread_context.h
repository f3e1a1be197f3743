// What one worker-pool thread owns, in one place: its plug-in worker process
// (isolation=process) and, for the daemon, its reply connection (reply_connection=per_worker)
// and the host its next reply starts from. Made on the thread's first use and ended with the
// thread: the worker process stopped, the connection closed.
#ifndef TOLVANE_CORE_THREAD_CONTEXT_H
#define TOLVANE_CORE_THREAD_CONTEXT_H

#include <memory>

class PluginWorker;  // core/worker_pool.cpp
struct ReplySlot;    // client/reply.cpp: the core keeps it without knowing it

struct ThreadContext {
    ThreadContext();
    ~ThreadContext();
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;

    std::unique_ptr<PluginWorker> worker;
    // Made by the reply path on first use, with the deleter that knows its type.
    std::unique_ptr<ReplySlot, void (*)(ReplySlot*)> reply{nullptr, nullptr};
    unsigned next_host = 0;  // per thread, so that threads spread over a host list unshared
};

// The calling thread's context. Any thread (a thread outside the pool gets one too).
ThreadContext& ThisThread();

#endif
