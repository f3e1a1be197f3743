// The daemons under test, seen from outside through the daemon probe: started as the service
// starts (it detaches itself), found through their pid files, measured through /proc and
// their service logs, stopped by pid.
#ifndef TOLVANE_BENCH_DAEMONS_H
#define TOLVANE_BENCH_DAEMONS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/responder.h"

struct DaemonInstance {
    std::string home;
    std::string pidFile;
    std::vector<std::string> args;  // beyond the program's path
    pid_t pid = 0;
};

// Instance 1 runs on the built-in home and pid file, with no arguments; instance k >= 2 on
// HOME-k (prepared by the caller) with "--home HOME-k --pid-file HOME-k/tolvane.pid".
class DaemonSet : public Responder {
public:
    DaemonSet(const std::string& program, const std::string& home, const std::string& pidFile,
              int count);
    ~DaemonSet() override { Stop(); }

    // Launches every instance and waits until each pid file names a live process.
    bool Start(std::string* error) override;
    // user + system time of all instances and their worker processes
    double CpuSeconds() const override;
    long PeakRssKb() const override;  // the largest VmHWM among them
    long RssKb() const;               // the largest VmRSS now; -1 when none runs
    pid_t FirstPid() const { return _instances.front().pid; }
    // Counted from each instance's service log: the lines that hold a guid alone.
    std::vector<long> Handled(const std::string& prefix) const override;
    // SIGTERM, then SIGKILL to any that has not ended after the service's stop time.
    void Stop() override;

private:
    bool Runs(pid_t pid) const;

    std::string _program;
    std::string _exe;  // the program's real path, as /proc/<pid>/exe names it
    std::vector<DaemonInstance> _instances;
};

// A responder started by the benchmark as a child that stays in the foreground, such as the
// daemon under a profiler ("valgrind ... tolvane --foreground"); measured through /proc.
class ForegroundProcess : public Responder {
public:
    explicit ForegroundProcess(const std::vector<std::string>& argv) : _argv(argv) {}
    ~ForegroundProcess() override { Stop(); }

    bool Start(std::string* error) override;  // spawned; false when it could not be
    double CpuSeconds() const override;
    long PeakRssKb() const override;
    // SIGTERM, and waits for its end (a profiler writes its output then), SIGKILL past it.
    void Stop() override;

private:
    std::vector<std::string> _argv;
    pid_t _pid = 0;
};

#endif
