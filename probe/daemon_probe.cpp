// The daemon seen from outside; see daemon_probe.h.
#include "probe/daemon_probe.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace probe {
namespace {

std::string ProcFile(pid_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The fields of /proc/<pid>/stat after the command name, which may itself hold spaces and
// parentheses: [0] is the state, [11] utime, [12] stime. Empty when the process is gone.
std::vector<std::string> StatFields(pid_t pid) {
    std::vector<std::string> fields;
    if (pid <= 0) return fields;
    const std::string line = ReadAll(ProcFile(pid, "stat"));
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

// The inodes of the sockets `pid` holds open.
std::set<std::string> SocketInodes(pid_t pid) {
    std::set<std::string> inodes;
    const std::string fds = ProcFile(pid, "fd");
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) return inodes;
    while (dirent* e = readdir(dir)) {
        char to[64];
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), to, sizeof to - 1);
        if (n > 9 && strncmp(to, "socket:[", 8) == 0)
            inodes.insert(std::string(to + 8, to + n - 1));
    }
    closedir(dir);
    return inodes;
}

// Rows of /proc/net/tcp or tcp6: established ("01"), owned by one of `inodes`, to `port`.
void AddLocalPorts(const std::string& table, const std::set<std::string>& inodes, int port,
                   std::set<int>* ports) {
    std::istringstream rows(ReadAll(table));
    std::string line, slot, local, peer, state, skip, inode;
    while (std::getline(rows, line)) {
        std::istringstream f(line);
        f >> slot >> local >> peer >> state >> skip >> skip >> skip >> skip >> skip >> inode;
        if (state == "01" && inodes.count(inode) && peer.size() > 5 &&
            strtol(peer.c_str() + peer.size() - 4, nullptr, 16) == port) {
            ports->insert(int(strtol(local.c_str() + local.size() - 4, nullptr, 16)));
        }
    }
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int timeoutMs, int stepMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return true;
}

bool IsAlive(pid_t pid) {
    const std::vector<std::string> stat = StatFields(pid);
    return !stat.empty() && stat[0] != "Z";
}

std::string ExeOf(pid_t pid) {
    char buf[4096];
    const ssize_t n = pid > 0 ? readlink(ProcFile(pid, "exe").c_str(), buf, sizeof buf) : -1;
    return n > 0 ? std::string(buf, n) : "";
}

pid_t PidInFile(const std::string& file) {
    const long pid = strtol(ReadAll(file).c_str(), nullptr, 10);  // stops at the padding
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

int RunToExit(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;  // built before the fork: the child only execs
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    pid_t got;
    while ((got = waitpid(child, &status, 0)) < 0 && errno == EINTR) {}
    return got == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartDaemon(const std::vector<std::string>& argv, const std::string& pidFile, int timeoutMs,
                  int* status) {
    const int exited = RunToExit(argv);
    if (status != nullptr) *status = exited;
    if (exited != 0) return 0;
    pid_t pid = 0;
    return WaitFor([&] { return IsAlive(pid = PidInFile(pidFile)); }, timeoutMs, 20) ? pid : 0;
}

std::vector<pid_t> StopPids(const std::vector<pid_t>& pids, int termWaitMs) {
    for (pid_t pid : pids) {
        if (IsAlive(pid)) kill(pid, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(termWaitMs);
    std::vector<pid_t> killed;
    for (pid_t pid : pids) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (WaitFor([&] { return !IsAlive(pid); }, int(std::max<long>(0, left.count())))) continue;
        kill(pid, SIGKILL);
        killed.push_back(pid);
    }
    for (pid_t pid : killed) WaitFor([&] { return !IsAlive(pid); }, 5000);
    return killed;
}

long StatusValue(pid_t pid, const std::string& name) {
    std::istringstream status(pid > 0 ? ReadAll(ProcFile(pid, "status")) : "");
    const std::string key = name + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, key.size(), key) == 0) return atol(line.c_str() + key.size());
    }
    return -1;
}

double CpuSeconds(pid_t pid) {
    static const double ticks = double(sysconf(_SC_CLK_TCK));
    const std::vector<std::string> stat = StatFields(pid);
    if (stat.size() <= 12) return 0;
    return (atof(stat[11].c_str()) + atof(stat[12].c_str())) / ticks;
}

double TreeCpuSeconds(pid_t pid) {
    static const double ticks = double(sysconf(_SC_CLK_TCK));
    const std::vector<std::string> stat = StatFields(pid);
    if (stat.size() <= 14) return 0;
    double total = 0;
    for (int i = 11; i <= 14; ++i) total += atof(stat[i].c_str()) / ticks;
    // Children by their parent field ([1]): /proc/<pid>/task/*/children is not always there.
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return total;
    std::vector<pid_t> children;
    while (dirent* e = readdir(dir)) {
        const pid_t child = static_cast<pid_t>(atoi(e->d_name));
        if (child <= 0 || child == pid) continue;
        const std::vector<std::string> f = StatFields(child);
        if (f.size() > 1 && atoi(f[1].c_str()) == pid) children.push_back(child);
    }
    closedir(dir);
    for (pid_t child : children) total += TreeCpuSeconds(child);
    return total;
}

std::set<int> LocalPortsTo(pid_t pid, int port) {
    std::set<int> ports;
    if (pid <= 0) return ports;
    const std::set<std::string> inodes = SocketInodes(pid);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        AddLocalPorts(table, inodes, port, &ports);
    }
    return ports;
}

std::vector<std::string> ServiceLogFiles(const std::string& home) {
    std::vector<std::string> files;
    const std::string logDir = home + "/log";
    if (DIR* dir = opendir(logDir.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (strncmp(e->d_name, "main-", 5) == 0) files.push_back(logDir + "/" + e->d_name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());  // main-YYYY-MM-DD.log: by name is by day
    return files;
}

std::string ServiceLog(const std::string& home) {
    std::string all;
    for (const std::string& file : ServiceLogFiles(home)) all += ReadAll(file);
    return all;
}

}  // namespace probe
