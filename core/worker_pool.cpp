// The daemon's side of the worker processes: start one by executing the daemon itself with
// --worker (posix_spawn, not fork: the daemon has threads) in a process group of its own,
// with the signal mask and dispositions reset, hand it its socket as fd 3, and watch each
// call for the worker's death, a frame that makes no sense or the call_timeout. A worker
// that ends takes its group with it: whatever its plug-ins started dies too.
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
#include "core/thread_context.h"
#include "core/worker_wire.h"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace {

// How long a worker whose socket was closed may take to exit before it is killed.
const int kExitGraceMs = 2000;

WorkerLimits limits;

// True once `pid` has ended, left unreaped: until it is reaped its id names its group.
bool HasEnded(pid_t pid) {
    siginfo_t info;
    info.si_pid = 0;
    const int r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    return (r != 0 && errno != EINTR) || (r == 0 && info.si_pid == pid);
}

// Waits for `pid` to end, killing it past graceMs, then kills what is left of its group
// (before the reaping, which would free the group's id for another) and reaps it; its wait
// status.
int EndProcess(pid_t pid, int graceMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (!HasEnded(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

// A worker starts in a group of its own, as a fresh process: the daemon blocks its stop
// signals for its signal thread and ignores SIGHUP, neither of which a plug-in should inherit.
void ResetProcess(posix_spawnattr_t* attr) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setpgroup(attr, 0);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setflags(
        attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
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

}  // namespace

class PluginWorker {
public:
    PluginWorker() = default;
    ~PluginWorker() { Retire(); }
    PluginWorker(const PluginWorker&) = delete;
    PluginWorker& operator=(const PluginWorker&) = delete;

    // A worker ready for a call: started if there is none, replaced once it has served
    // max_calls. False (logged) when none could be started.
    bool Ready() {
        if (_pid > 0 && limits.max_calls > 0 && _calls >= limits.max_calls) {
            Retire();
            ++Stats().worker_restarts;
        }
        if (_pid > 0) ReapIfEnded();
        if (_pid > 0) ReplaceIfUnasked();
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
    // Nor may bytes that a worker sent unasked (a plug-in's thread or child writing to the
    // socket) be taken for the next call's answer: such a worker is replaced.
    void ReplaceIfUnasked();
    // Ends a worker whose answer makes no sense: the call ends kDied.
    CallEnd Malformed(const PluginCall& call);

    pid_t _pid = 0;
    int _fd = -1;
    int _calls = 0;
    uint32_t _number = 0;  // of the last call sent
};

bool PluginWorker::Spawn() {
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
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    ResetProcess(&attr);
    const std::string parent = std::to_string(getpid());
    const std::string memory = std::to_string(limits.memory_mb);
    const char* argv[] = {"tolvane",      "--worker",    "--home",       Home().c_str(), "--parent",
                          parent.c_str(), "--memory-mb", memory.c_str(), nullptr};
    pid_t pid = 0;
    const int err = sv[1] < 0 ? errno
                              : posix_spawn(&pid, "/proc/self/exe", &actions, &attr,
                                            const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (sv[1] >= 0) close(sv[1]);
    if (err != 0) {
        close(sv[0]);
        LogLine(std::string("cannot start a plug-in worker: ") + strerror(err));
        return false;
    }
    // Without it a read would wait for good on a worker that died while a child of its
    // plug-in holds the socket's other end.
    if (!WakeEverySecond(sv[0])) {
        LogLine(std::string("a plug-in worker's socket cannot wake: ") + strerror(errno));
    }
    _pid = pid;
    _fd = sv[0];
    _calls = 0;
    _number = 0;
    return true;
}

void PluginWorker::Forget() {
    close(_fd);
    _pid = 0;
    _fd = -1;
}

void PluginWorker::Retire() {
    if (_pid <= 0) return;
    const pid_t pid = _pid;
    Forget();
    EndProcess(pid, kExitGraceMs);
}

void PluginWorker::ReapIfEnded() {
    if (!HasEnded(_pid)) return;
    const pid_t pid = _pid;
    Forget();
    const int status = EndProcess(pid, 0);
    LogLine("the plug-in worker " + std::to_string(pid) +
            " ended between calls: " + HowItEnded(status) + "; another takes its place");
    ++Stats().worker_restarts;
}

void PluginWorker::ReplaceIfUnasked() {
    char byte;
    if (recv(_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
        (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    const pid_t pid = _pid;
    Forget();
    EndProcess(pid, 0);
    LogLine("the plug-in worker " + std::to_string(pid) +
            " wrote to its socket between calls, or closed it: it is killed, another takes its "
            "place");
    ++Stats().worker_restarts;
}

CallEnd PluginWorker::Malformed(const PluginCall& call) {
    const pid_t pid = _pid;
    EndProcess(pid, 0);
    LogLine("the plug-in worker " + std::to_string(pid) + " answered " + CallName(call) +
            " with a frame that does not parse or is not its answer: it is killed");
    Replace();
    return CallEnd::kDied;
}

void PluginWorker::Replace() {
    Forget();
    ++Stats().worker_restarts;
    Spawn();
}

CallEnd PluginWorker::Call(PluginCall& call) {
    ++_calls;
    const uint32_t number = ++_number;
    FrameWait wait;
    wait.timeoutMs = limits.call_timeout > 0 ? limits.call_timeout * 1000 : -1;
    wait.maxPayload = AnswerPayloadLimit(call.strOut.size());
    wait.peer = _pid;
    Frame frame;
    FrameRead read = FrameRead::kClosed;
    if (WriteFrame(_fd, number, EncodeCall(call), _pid)) read = ReadFrame(_fd, wait, &frame);
    CallEnd end = CallEnd::kDied;
    if (read == FrameRead::kRead) {
        if (frame.number == number && DecodeAnswer(frame.payload, &end, &call.strOut)) return end;
        read = FrameRead::kMalformed;
    }
    if (read == FrameRead::kMalformed) return Malformed(call);

    const pid_t pid = _pid;
    if (read == FrameRead::kTimedOut) {
        EndProcess(pid, 0);
        ++Stats().call_timeouts;
        LogLine(CallName(call) + " ran past call_timeout=" + std::to_string(limits.call_timeout) +
                " s: its worker " + std::to_string(pid) + " is killed");
        Replace();
        return CallEnd::kTimedOut;
    }
    // The socket closed, or the worker ended: it is ending, or must.
    const int status = EndProcess(pid, kExitGraceMs);
    LogLine("the plug-in worker " + std::to_string(pid) + " died in " + CallName(call) + ": " +
            HowItEnded(status));
    Replace();
    return CallEnd::kDied;
}

ThreadContext::ThreadContext() : worker(new PluginWorker) {}
ThreadContext::~ThreadContext() = default;

ThreadContext& ThisThread() {
    // The one thread_local of the pool threads: everything a thread owns hangs from it.
    thread_local ThreadContext context;
    return context;
}

void SetWorkerLimits(const WorkerLimits& l) {
    limits = l;
}

CallEnd CallInWorker(PluginCall& call) {
    PluginWorker& worker = *ThisThread().worker;
    return worker.Ready() ? worker.Call(call) : CallEnd::kNoWorker;
}
