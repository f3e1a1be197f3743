// End-to-end benchmark of the daemon against a running broker; prints figures, judges nothing.
//   throughput: pre-fills N one-record echo requests (4172 bytes), starts the daemon and times
//               until the last of the N replies (1074 bytes) has arrived.
//   latency:    starts the daemon, then times N sequential round trips (p50, p99).
// Both print the daemon's peak resident memory before stopping it.
// The daemon must not be running yet; the benchmark stops the one it started by its pid.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/call_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    BrokerOptions broker;
    std::string daemon;
    std::string pidFile;
    std::string queue = "tolvane.bench";
    std::string platform = "tolvane.bench.replies";
    std::string mode = "throughput";
    int count = -1;
};

const char kUsage[] =
    "usage: tolvane-bench --daemon PATH --pid-file PATH [--mode throughput|latency] [-n N]\n"
    "                     [--queue NAME] [--server HOST] [--port N] [--user U] [--password P]\n"
    "  throughput: N (default 2000) requests queued before the daemon starts\n"
    "  latency:    N (default 1000) sequential round trips\n";

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--daemon") o.daemon = value;
        else if (name == "--pid-file") o.pidFile = value;
        else if (name == "--mode") o.mode = value;
        else if (name == "-n") o.count = atoi(value.c_str());
        else if (name == "--queue") o.queue = value;
        else if (name == "--server") o.broker.server = value;
        else if (name == "--port") o.broker.port = atoi(value.c_str());
        else if (name == "--user") o.broker.userName = value;
        else if (name == "--password") o.broker.pwd = value;
        else return false;
    }
    if (o.count < 0) o.count = o.mode == "latency" ? 1000 : 2000;
    return argc % 2 == 1 && !o.daemon.empty() && !o.pidFile.empty() && o.count > 0 &&
           (o.mode == "throughput" || o.mode == "latency");
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string EchoRequest(const std::string& guid, const std::string& platform) {
    std::string body, error;
    BuildRequest(guid, platform, {ParamText({"comtype=echo", "nfunc=echo", "bench=1"})}, &body,
                 &error);
    return body;
}

pid_t PidInFile(const std::string& file) {
    std::ifstream in(file);
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

bool StartDaemon(const Options& o) {
    std::remove(o.pidFile.c_str());
    return system(o.daemon.c_str()) == 0;
}

// The daemon's peak resident memory so far (VmHWM), as the kernel reports it.
void PrintPeakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") != 0) continue;
        size_t value = line.find_first_not_of(" \t", 6);
        printf("daemon peak resident memory: %s\n", line.c_str() + value);
    }
}

void StopDaemon(const Options& o) {
    pid_t pid = PidInFile(o.pidFile);
    if (pid <= 0) return;
    PrintPeakMemory(pid);
    if (kill(pid, SIGTERM) != 0) return;
    for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Waits for the reply to `guid`; false on a time-out or a broker error.
bool AwaitReply(CallClient& client, const std::string& guid, int timeout_ms) {
    std::string replyGuid, text;
    while (client.WaitReply(timeout_ms, &replyGuid, &text) == 1) {
        if (replyGuid == guid) return true;
    }
    return false;
}

int Throughput(const Options& o, CallClient& client) {
    for (int i = 0; i < o.count; ++i) {
        if (!client.Publish(o.queue, EchoRequest("bench-" + std::to_string(i), o.platform))) {
            fprintf(stderr, "tolvane-bench: %s\n", client.Error().c_str());
            return 1;
        }
    }
    int waiting = 0;
    while (client.CheckQueue(o.queue, &waiting) && waiting < o.count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    printf("requests queued: %d x 4172 bytes\n", waiting);

    const auto start = Clock::now();
    if (!StartDaemon(o)) return 1;
    int replies = 0;
    Clock::time_point first;
    std::string guid, text;
    while (replies < o.count && client.WaitReply(30000, &guid, &text) == 1) {
        if (replies++ == 0) first = Clock::now();
    }
    const auto last = Clock::now();
    StopDaemon(o);
    if (replies < o.count) {
        fprintf(stderr, "tolvane-bench: only %d of %d replies arrived\n", replies, o.count);
        return 1;
    }
    printf("replies: %d x 1074 bytes\n", replies);
    printf("daemon start to first reply: %.0f ms\n", Ms(first - start));
    printf("daemon start to last reply:  %.0f ms\n", Ms(last - start));
    printf("replies per second (from daemon start): %.0f\n", replies * 1000.0 / Ms(last - start));
    printf("replies per second (first to last reply): %.0f\n",
           (replies - 1) * 1000.0 / std::max(Ms(last - first), 1.0));
    return 0;
}

int Latency(const Options& o, CallClient& client) {
    if (!StartDaemon(o)) return 1;
    // The first round trip also waits for start-up; it is not counted.
    std::string warmGuid = NewGuid();
    bool ok = client.Publish(o.queue, EchoRequest(warmGuid, o.platform)) &&
              AwaitReply(client, warmGuid, 30000);
    std::vector<double> ms;
    for (int i = 0; ok && i < o.count; ++i) {
        std::string guid = NewGuid();
        auto sent = Clock::now();
        ok = client.Publish(o.queue, EchoRequest(guid, o.platform)) &&
             AwaitReply(client, guid, 10000);
        ms.push_back(Ms(Clock::now() - sent));
    }
    StopDaemon(o);
    if (!ok) {
        fprintf(stderr, "tolvane-bench: a round trip failed after %zu\n", ms.size());
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    printf("round trips: %zu sequential (4172-byte request, 1074-byte reply)\n", ms.size());
    printf("latency p50: %.2f ms  p99: %.2f ms  max: %.2f ms\n", at(0.50), at(0.99), ms.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    CallClient client(o.broker);
    if (!client.Connect(10) || !client.DeclareQueue(o.queue) || !client.Listen(o.platform)) {
        fprintf(stderr, "tolvane-bench: %s\n", client.Error().c_str());
        return 1;
    }
    int waiting = 0;
    if (!client.CheckQueue(o.queue, &waiting) || waiting != 0) {
        fprintf(stderr, "tolvane-bench: queue \"%s\" is not empty (%d waiting)\n", o.queue.c_str(),
                waiting);
        return 1;
    }
    return o.mode == "latency" ? Latency(o, client) : Throughput(o, client);
}
