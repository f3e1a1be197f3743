// The daemons under test; see daemons.h.
#include "bench/daemons.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const int kStartWaitMs = 10000;
// The service may take its stop time (30 s by default) to finish the jobs it holds.
const int kStopWaitMs = 40000;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ProcFile(pid_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// The fields of /proc/<pid>/stat after the command name, which may itself hold spaces:
// [0] is the state, [11] utime, [12] stime.
std::vector<std::string> StatFields(pid_t pid) {
    std::ifstream in(ProcFile(pid, "stat"));
    std::string line;
    std::getline(in, line);
    std::vector<std::string> fields;
    size_t close = line.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

// Alive and still running `program` (a pid is not taken for ours once it was reused); a
// zombie no one reaps counts as ended.
bool Runs(pid_t pid, const std::string& program) {
    if (pid <= 0) return false;
    char exe[PATH_MAX], want[PATH_MAX];
    ssize_t n = readlink(ProcFile(pid, "exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0 || !realpath(program.c_str(), want)) return false;
    exe[n] = '\0';
    std::vector<std::string> stat = StatFields(pid);
    return want == std::string(exe) && !stat.empty() && stat[0] != "Z";
}

// A "Name:   123 kB" line of /proc/<pid>/status; -1 when there is none.
long StatusKb(pid_t pid, const std::string& name) {
    std::ifstream status(ProcFile(pid, "status"));
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, name.size(), name) == 0) return atol(line.c_str() + name.size());
    }
    return -1;
}

pid_t PidInFile(const std::string& file) {
    std::ifstream in(file);
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

// Runs the program and waits for the process it started to detach (the service forks and
// its parent exits). True when that parent ended with status 0.
bool Launch(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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

long CountInLogs(const std::string& logDir, const std::string& prefix) {
    long count = 0;
    DIR* dir = opendir(logDir.c_str());
    if (!dir) return 0;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.compare(0, 5, "main-") != 0) continue;
        std::ifstream in(logDir + "/" + name);
        count += CountGuidLines(in, prefix);
    }
    closedir(dir);
    return count;
}

}  // namespace

DaemonSet::DaemonSet(const std::string& program, const std::string& home,
                     const std::string& pidFile, int count)
    : program_(program) {
    DaemonInstance first;
    first.home = home;
    first.pidFile = pidFile;
    instances_.push_back(first);
    for (int k = 2; k <= count; ++k) {
        DaemonInstance d;
        d.home = home + "-" + std::to_string(k);
        d.pidFile = d.home + "/tolvane.pid";
        d.args = {"--home", d.home, "--pid-file", d.pidFile};
        instances_.push_back(d);
    }
}

// Every pid is looked for, even after a failure, so that Stop finds all that did start.
bool DaemonSet::Start(std::string* error) {
    std::vector<bool> launched;
    for (DaemonInstance& d : instances_) {
        std::remove(d.pidFile.c_str());
        launched.push_back(Launch(program_, d.args));
    }
    error->clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    for (size_t i = 0; i < instances_.size(); ++i) {
        DaemonInstance& d = instances_[i];
        while (launched[i] && !Runs(d.pid = PidInFile(d.pidFile), program_) &&
               std::chrono::steady_clock::now() < deadline) {
            SleepMs(20);
        }
        if (Runs(d.pid, program_)) continue;
        d.pid = 0;
        if (error->empty()) {
            *error = "no running daemon named in " + d.pidFile +
                     (d.args.empty() ? "" : " (does the daemon take --home and --pid-file?)");
        }
    }
    return error->empty();
}

double DaemonSet::CpuSeconds() const {
    static const double ticks = double(sysconf(_SC_CLK_TCK));
    double total = 0;
    for (const DaemonInstance& d : instances_) {
        std::vector<std::string> stat = StatFields(d.pid);
        if (stat.size() > 12) total += (atof(stat[11].c_str()) + atof(stat[12].c_str())) / ticks;
    }
    return total;
}

long DaemonSet::PeakRssKb() const {
    long peak = -1;
    for (const DaemonInstance& d : instances_) peak = std::max(peak, StatusKb(d.pid, "VmHWM:"));
    return peak;
}

long DaemonSet::RssKb() const {
    long largest = -1;
    for (const DaemonInstance& d : instances_) {
        if (Runs(d.pid, program_)) largest = std::max(largest, StatusKb(d.pid, "VmRSS:"));
    }
    return largest;
}

std::vector<long> DaemonSet::Handled(const std::string& prefix) const {
    std::vector<long> counts;
    for (const DaemonInstance& d : instances_) counts.push_back(CountInLogs(d.home + "/log", prefix));
    return counts;
}

void DaemonSet::Stop() {
    for (const DaemonInstance& d : instances_) {
        if (Runs(d.pid, program_)) kill(d.pid, SIGTERM);
    }
    for (DaemonInstance& d : instances_) {
        for (int waited = 0; Runs(d.pid, program_) && waited < kStopWaitMs; waited += 50) {
            SleepMs(50);
        }
        if (Runs(d.pid, program_)) {
            fprintf(stderr, "tolvane-bench: daemon %d ignored SIGTERM; killing it\n", int(d.pid));
            kill(d.pid, SIGKILL);
        }
        d.pid = 0;
    }
}
