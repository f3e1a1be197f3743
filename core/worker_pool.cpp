// The daemon's side of the worker processes: start one by executing the daemon itself with
// --worker (posix_spawn, not fork: the daemon has threads), hand it its socket as fd 3, and
// watch each call for the worker's death or the call_timeout.
#include "core/worker_pool.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/home.h"
#include "core/log.h"
#include "core/stats.h"
#include "core/worker_wire.h"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace {

// How long a worker whose socket was closed may take to exit before it is killed.
const int kExitGraceMs = 2000;

WorkerLimits limits;

// Waits for `pid` to end, killing it past graceMs; its wait status.
int EndProcess(pid_t pid, int graceMs) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

std::string HowItEnded(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = sigdescr_np(WTERMSIG(status));
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + (name ? name : "?") + ")";
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string CallName(const PluginCall& call) {
    return "the call to " + call.func + " of lib" + call.soName + ".so";
}

void LogLine(const std::string& line) {
    LOG(VisibleControls(line.c_str()).c_str());
}

class Worker {
public:
    Worker() = default;
    ~Worker() { Retire(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // A worker ready for a call: started if there is none, replaced once it has served
    // max_calls. False (logged) when none could be started.
    bool Ready() {
        if (_pid > 0 && limits.max_calls > 0 && _calls >= limits.max_calls) {
            Retire();
            ++Stats().worker_restarts;
        }
        if (_pid > 0) ReapIfEnded();
        return _pid > 0 || Spawn();
    }

    CallEnd Call(PluginCall& call);

private:
    bool Spawn();
    // Closes the socket, which ends the worker's loop, and reaps it.
    void Retire();
    // Lets go of the socket and the pid of a worker that is ending or reaped.
    void Forget();
    // After a call it did not answer, the worker reaped: starts another.
    void Replace();
    // A worker that ended between calls (killed from outside, say) is replaced before the next
    // call, which it would otherwise fail although that call did nothing wrong.
    void ReapIfEnded();

    pid_t _pid = 0;
    int _fd = -1;
    int _calls = 0;
};

bool Worker::Spawn() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        LogLine(std::string("cannot start a plug-in worker: socketpair: ") + strerror(errno));
        return false;
    }
    // A dup2 onto itself would keep close-on-exec.
    if (sv[1] == kWorkerFd) {
        const int moved = fcntl(sv[1], F_DUPFD_CLOEXEC, kWorkerFd + 1);
        close(sv[1]);
        sv[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], kWorkerFd);
    const std::string parent = std::to_string(getpid());
    const std::string memory = std::to_string(limits.memory_mb);
    const char* argv[] = {"tolvane",      "--worker",    "--home",       Home().c_str(), "--parent",
                          parent.c_str(), "--memory-mb", memory.c_str(), nullptr};
    pid_t pid = 0;
    const int err = sv[1] < 0 ? errno
                              : posix_spawn(&pid, "/proc/self/exe", &actions, nullptr,
                                            const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (sv[1] >= 0) close(sv[1]);
    if (err != 0) {
        close(sv[0]);
        LogLine(std::string("cannot start a plug-in worker: ") + strerror(err));
        return false;
    }
    _pid = pid;
    _fd = sv[0];
    _calls = 0;
    return true;
}

void Worker::Forget() {
    close(_fd);
    _pid = 0;
    _fd = -1;
}

void Worker::Retire() {
    if (_pid <= 0) return;
    const pid_t pid = _pid;
    Forget();
    EndProcess(pid, kExitGraceMs);
}

void Worker::ReapIfEnded() {
    int status = 0;
    if (waitpid(_pid, &status, WNOHANG) != _pid) return;
    LogLine("the plug-in worker " + std::to_string(_pid) +
            " ended between calls: " + HowItEnded(status) + "; another takes its place");
    Forget();
    ++Stats().worker_restarts;
}

void Worker::Replace() {
    Forget();
    ++Stats().worker_restarts;
    Spawn();
}

CallEnd Worker::Call(PluginCall& call) {
    ++_calls;
    std::string frame;
    const int timeoutMs = limits.call_timeout > 0 ? limits.call_timeout * 1000 : -1;
    FrameRead read = FrameRead::kClosed;
    if (WriteFrame(_fd, EncodeCall(call))) read = ReadFrame(_fd, timeoutMs, &frame);
    CallEnd end = CallEnd::kDied;
    if (read == FrameRead::kRead && DecodeAnswer(frame, &end, &call.strOut)) return end;

    const pid_t pid = _pid;
    if (read == FrameRead::kTimedOut) {
        kill(pid, SIGKILL);
        EndProcess(pid, kExitGraceMs);
        ++Stats().call_timeouts;
        LogLine(CallName(call) + " ran past call_timeout=" + std::to_string(limits.call_timeout) +
                " s: its worker " + std::to_string(pid) + " is killed");
        Replace();
        return CallEnd::kTimedOut;
    }
    // The socket closed (or the answer made no sense): the worker is ending, or must.
    const int status = EndProcess(pid, read == FrameRead::kRead ? 0 : kExitGraceMs);
    LogLine("the plug-in worker " + std::to_string(pid) + " died in " + CallName(call) + ": " +
            HowItEnded(status));
    Replace();
    return CallEnd::kDied;
}

// Each pool thread's own worker, ended with the thread.
thread_local Worker worker;

}  // namespace

void SetWorkerLimits(const WorkerLimits& l) {
    limits = l;
}

CallEnd CallInWorker(PluginCall& call) {
    return worker.Ready() ? worker.Call(call) : CallEnd::kNoWorker;
}
