// The daemons under test; see daemons.h. Starting, watching and stopping them is the daemon
// probe's (probe/daemon_probe.h), shared with the tests.
#include "bench/daemons.h"

#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "probe/daemon_probe.h"

namespace {

const int kStartWaitMs = 10000;
// The service may take its stop time (30 s by default) to finish the jobs it holds.
const int kStopWaitMs = 40000;
// A profiler writes its output at the end, and may take long for it.
const int kForegroundStopWaitMs = 120000;

long CountGuidLines(std::istream& in, const std::string& prefix) {
    long count = 0;
    for (std::string line; std::getline(in, line);) {
        // "[date,time] text": the guid is the whole text.
        size_t text = line.find("] ");
        if (text == std::string::npos || line.compare(text + 2, prefix.size(), prefix) != 0) {
            continue;
        }
        size_t end = line.find_last_not_of('\r') + 1;
        size_t digits = text + 2 + prefix.size();
        if (digits < end && line.find_first_not_of("0123456789", digits) >= end) ++count;
    }
    return count;
}

}  // namespace

DaemonSet::DaemonSet(const std::string& program, const std::string& home,
                     const std::string& pidFile, int count)
    : _program(program) {
    char real[PATH_MAX];
    if (realpath(program.c_str(), real)) _exe = real;
    DaemonInstance first;
    first.home = home;
    first.pidFile = pidFile;
    _instances.push_back(first);
    for (int k = 2; k <= count; ++k) {
        DaemonInstance d;
        d.home = home + "-" + std::to_string(k);
        d.pidFile = d.home + "/tolvane.pid";
        d.args = {"--home", d.home, "--pid-file", d.pidFile};
        _instances.push_back(d);
    }
}

// A pid is taken for ours only while it runs the program (not once it was reused).
bool DaemonSet::Runs(pid_t pid) const {
    return probe::IsAlive(pid) && !_exe.empty() && probe::ExeOf(pid) == _exe;
}

// Every instance is started, even after a failure, so that Stop finds all that did start.
bool DaemonSet::Start(std::string* error) {
    error->clear();
    for (DaemonInstance& d : _instances) {
        std::remove(d.pidFile.c_str());
        std::vector<std::string> argv = {_program};
        argv.insert(argv.end(), d.args.begin(), d.args.end());
        d.pid = probe::StartDaemon(argv, d.pidFile, kStartWaitMs);
        if (Runs(d.pid)) continue;
        d.pid = 0;
        if (error->empty()) {
            *error = "no running daemon named in " + d.pidFile +
                     (d.args.empty() ? "" : " (does the daemon take --home and --pid-file?)");
        }
    }
    return error->empty();
}

double DaemonSet::CpuSeconds() const {
    double total = 0;
    for (const DaemonInstance& d : _instances) total += probe::TreeCpuSeconds(d.pid);
    return total;
}

long DaemonSet::PeakRssKb() const {
    long peak = -1;
    for (const DaemonInstance& d : _instances) {
        peak = std::max(peak, probe::StatusValue(d.pid, "VmHWM"));
    }
    return peak;
}

long DaemonSet::RssKb() const {
    long largest = -1;
    for (const DaemonInstance& d : _instances) {
        if (Runs(d.pid)) largest = std::max(largest, probe::StatusValue(d.pid, "VmRSS"));
    }
    return largest;
}

std::vector<long> DaemonSet::Handled(const std::string& prefix) const {
    std::vector<long> counts;
    for (const DaemonInstance& d : _instances) {
        long count = 0;
        for (const std::string& file : probe::ServiceLogFiles(d.home)) {
            std::ifstream in(file);
            count += CountGuidLines(in, prefix);
        }
        counts.push_back(count);
    }
    return counts;
}

void DaemonSet::Stop() {
    std::vector<pid_t> running;
    for (DaemonInstance& d : _instances) {
        if (Runs(d.pid)) running.push_back(d.pid);
        d.pid = 0;
    }
    for (pid_t pid : probe::StopPids(running, kStopWaitMs)) {
        fprintf(stderr, "tolvane-bench: daemon %d ignored SIGTERM; killed it\n", int(pid));
    }
}

bool ForegroundProcess::Start(std::string* error) {
    std::vector<char*> argv;
    for (const std::string& a : _argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int failed = posix_spawnp(&_pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (failed == 0) return true;
    _pid = 0;
    *error = "could not start " + _argv[0] + ": " + std::strerror(failed);
    return false;
}

double ForegroundProcess::CpuSeconds() const {
    return probe::TreeCpuSeconds(_pid);
}

long ForegroundProcess::PeakRssKb() const {
    return probe::StatusValue(_pid, "VmHWM");
}

void ForegroundProcess::Stop() {
    if (_pid <= 0) return;
    probe::StopPids({_pid}, kForegroundStopWaitMs);
    waitpid(_pid, nullptr, 0);
    _pid = 0;
}
