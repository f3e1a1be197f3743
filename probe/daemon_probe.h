// The daemon seen from outside, as the benchmark and the tests watch it: started by its path
// until its pid file names it, checked and measured through /proc, read through its service
// log, stopped by pid. Plain POSIX and /proc; no test framework, no settings of this build.
#ifndef TOLVANE_PROBE_DAEMON_PROBE_H
#define TOLVANE_PROBE_DAEMON_PROBE_H

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace probe {

// Polls `done` every `stepMs` until it holds (true) or `timeoutMs` passed (false).
bool WaitFor(const std::function<bool()>& done, int timeoutMs, int stepMs = 50);

// The process exists and is not a zombie (the daemon's adoptive parent may be slow to reap).
bool IsAlive(pid_t pid);

// The file the process runs, as /proc/<pid>/exe names it; "" when there is none.
std::string ExeOf(pid_t pid);

// The number at the start of a pid file (the service may pad it with NUL bytes); 0 when the
// file is missing, empty or holds no number.
pid_t PidInFile(const std::string& file);

// Runs `argv` (argv[0] found through PATH when it has no slash) and waits until that process
// ends, as a daemon's starting process does once it has detached. Its exit status; -1 when it
// could not run or did not exit normally.
int RunToExit(const std::vector<std::string>& argv);

// RunToExit(argv), then waits up to `timeoutMs` until `pidFile` names a live process. That
// pid, or 0; `*status` (when given) gets the starting process's exit status. The caller
// removes a stale pid file first.
pid_t StartDaemon(const std::vector<std::string>& argv, const std::string& pidFile,
                  int timeoutMs = 10000, int* status = nullptr);

// SIGTERM to every live pid at once, then SIGKILL to any still alive after `termWaitMs`
// (the service may take its stop time to finish its jobs). The pids that had to be killed.
std::vector<pid_t> StopPids(const std::vector<pid_t>& pids, int termWaitMs = 10000);
inline bool StopPid(pid_t pid, int termWaitMs = 10000) {
    return StopPids({pid}, termWaitMs).empty();
}

// The number on a "Name:" line of /proc/<pid>/status ("VmRSS" and "VmHWM" in kB, "Threads");
// -1 when the process or the line is gone.
long StatusValue(pid_t pid, const std::string& name);

// User and system CPU time the process has used, in seconds; 0 when it is gone.
double CpuSeconds(pid_t pid);
// The same for the process and all its descendants, the running ones and those it has
// waited for (cutime, cstime): a daemon's worker processes count as its own.
double TreeCpuSeconds(pid_t pid);

// Local ports of the established TCP connections that `pid` holds to `port` (IPv4 and IPv6).
std::set<int> LocalPortsTo(pid_t pid, int port);

// The service's day logs (main-*.log) under `home`/log, oldest first, and their text joined.
std::vector<std::string> ServiceLogFiles(const std::string& home);
std::string ServiceLog(const std::string& home);

}  // namespace probe

#endif
