// End-to-end benchmark against a running broker; prints one table row per run, judges nothing
// (but the soak run).
//   ceiling: the benchmark's own ten-thread responder (the broker-bound ceiling: replies
//            committed or confirmed, requests consumed with or without acknowledgements)
//            through the throughput and latency phases, or ceiling P, one pipelined thread
//            with the daemon's guarantees; the first figures of A and of P go to a file that
//            later rows compare with.
//   daemon:  the daemon(s) through the same phases, with CPU per reply and peak memory.
//   backlog: a large queued backlog answered by the daemon(s): every guid counted.
//   soak:    a long stream answered by the daemon in batches, its memory read every tenth;
//            fails on growth or on a request not answered exactly once (bench/soak.h).
// The daemons must not be running yet; the benchmark stops the ones it started by their pid.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ceiling.h"
#include "bench/daemons.h"
#include "bench/phases.h"
#include "bench/requesters.h"
#include "bench/soak.h"
#include "requester/call_client.h"

namespace {

// Bounds the connect, the login and every RPC of the benchmark's own connections.
const int kBrokerTimeoutS = 10;

struct Options {
    BrokerOptions broker;
    std::string mode;
    std::string label;
    std::string daemon;
    std::string pidFile;
    std::string home;
    int daemons = 1;
    std::string queue = "tolvane.bench";
    std::string platform = "tolvane.bench.replies";
    std::string ceilingFile;
    std::string brokerPidFile;
    bool acks = false;
    bool confirm = false;
    bool pipelined = false;
    int prefetch = 0;       // 0: the ceiling's own
    std::string reference;  // the ceiling figures this run stands for (A, P), when none yet
    std::vector<std::string> command;  // foreground: the responder's program and arguments
    long count = -1;
    long batch = 5000;
    long rssGrowthKb = 2048;
    int roundTrips = 1000;
    bool header = false;
};

const char kUsage[] =
    "usage: tolvane-bench --mode ceiling|daemon|backlog|soak|requesters|foreground\n"
    "                     [--label TEXT]\n"
    "                     [-n N] [-m M]\n"
    "                     [--daemon PATH --pid-file FILE --home DIR] [--daemons K]\n"
    "                     [--ceiling-file FILE] [--header yes] [--queue NAME]\n"
    "                     [--server HOST] [--port N] [--user U] [--password P]\n"
    "                     [--batch B] [--rss-growth-kb KB] [--broker-pid-file FILE]\n"
    "                     [--acks yes] [--commit tx|confirm] [--pipelined yes]\n"
    "                     [--prefetch N] [--reference A|P] [--command PROGRAM ARGS...]\n"
    "  ceiling: N (5000) queued requests answered by ten threads (replies committed, or\n"
    "           confirmed; requests consumed no_ack, or with acknowledgements), then M (1000)\n"
    "           round trips; the figures go to the ceiling file as reference A (or the\n"
    "           --reference named) when it holds none for it yet. --pipelined: ceiling P,\n"
    "           one thread with acks under basic.qos N (110), confirms read as they come\n"
    "  daemon:  the same for K daemons (instance k >= 2 runs on home DIR-k); ratios to the\n"
    "           ceiling file's figures A and P\n"
    "  backlog: N (100000) queued requests answered by K daemons, every guid counted\n"
    "  soak:    N (1000000) requests in batches of B (5000), the daemon's VmRSS after every\n"
    "           N/10 replies; fails when it grows more than KB (2048) over the first reading\n"
    "           or a request is not answered exactly once\n"
    "  requesters: N (5000) calls with 100 in flight from one client, then M sequential\n"
    "           ones, through libtolvane-client and through the Python package\n"
    "  foreground: N (5000) queued requests answered by the --command (the rest of the\n"
    "           line) started as a child that stays in the foreground, e.g. the daemon\n"
    "           under a profiler; throughput only, then SIGTERM and the wait for its end\n"
    "  --broker-pid-file: the broker's CPU per reply is read from /proc as well\n";

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--command") {
            o.command.assign(argv + i + 1, argv + argc);
            argc = i;  // what follows is the command's, not options
            break;
        }
        if (name == "--mode") o.mode = value;
        else if (name == "--label") o.label = value;
        else if (name == "--daemon") o.daemon = value;
        else if (name == "--pid-file") o.pidFile = value;
        else if (name == "--home") o.home = value;
        else if (name == "--daemons") o.daemons = atoi(value.c_str());
        else if (name == "--ceiling-file") o.ceilingFile = value;
        else if (name == "--header") o.header = value == "yes";
        else if (name == "--broker-pid-file") o.brokerPidFile = value;
        else if (name == "--acks") o.acks = value == "yes";
        else if (name == "--commit") o.confirm = value == "confirm";
        else if (name == "--pipelined") o.pipelined = value == "yes";
        else if (name == "--prefetch") o.prefetch = atoi(value.c_str());
        else if (name == "--reference") o.reference = value;
        else if (name == "-n") o.count = atol(value.c_str());
        else if (name == "--batch") o.batch = atol(value.c_str());
        else if (name == "--rss-growth-kb") o.rssGrowthKb = atol(value.c_str());
        else if (name == "-m") o.roundTrips = atoi(value.c_str());
        else if (name == "--queue") o.queue = value;
        else if (name == "--server") o.broker.server = value;
        else if (name == "--port") o.broker.port = atoi(value.c_str());
        else if (name == "--user") o.broker.userName = value;
        else if (name == "--password") o.broker.pwd = value;
        else return false;
    }
    if (o.count < 0) o.count = o.mode == "soak" ? 1000000 : o.mode == "backlog" ? 100000 : 5000;
    if (o.mode == "soak" && (o.count < 10 || o.batch <= 0 || o.rssGrowthKb < 0)) return false;
    if (o.label.empty()) o.label = o.mode;
    bool daemonSet = !o.daemon.empty() && !o.pidFile.empty() && !o.home.empty();
    return argc % 2 == 1 && o.count > 0 && o.roundTrips > 0 && o.daemons > 0 &&
           (o.mode == "ceiling" || (o.mode == "foreground" && !o.command.empty()) ||
            ((o.mode == "daemon" || o.mode == "backlog" || o.mode == "soak" ||
              o.mode == "requesters") &&
             daemonSet));
}

// Guids unique to this run, so that service logs kept from earlier runs do not count.
std::string RunTag() {
    return "b" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr) % 100000) + "-";
}

Workload WorkloadOf(const Options& o, const std::string& phase) {
    Workload w;
    w.queue = o.queue;
    w.platform = o.platform;
    w.guidPrefix = RunTag() + phase;
    w.count = static_cast<int>(o.count);
    std::ifstream pid(o.brokerPidFile);
    if (!o.brokerPidFile.empty()) pid >> w.brokerPid;
    return w;
}

struct CeilingFigures {
    double perSecond = 0, p50 = 0, p99 = 0;
    bool known = false;
};

// The ceiling file: a line "NAME replies/s p50 p99" per reference ceiling (A, P).
CeilingFigures ReadCeiling(const std::string& file, const std::string& name) {
    CeilingFigures c;
    std::ifstream in(file);
    std::string key;
    while (!c.known && in >> key >> c.perSecond >> c.p50 >> c.p99) c.known = key == name;
    return c;
}

void WriteCeiling(const std::string& file, const std::string& name, const ThroughputFigures& t,
                  const LatencyFigures& l) {
    if (file.empty()) return;
    std::ofstream out(file, std::ios::app);
    out << name << " " << t.perSecond << " " << l.p50 << " " << l.p99 << "\n";
}

std::string Fixed(double value, int decimals) {
    char text[32];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double value, double ceiling, bool known) {
    return known && ceiling > 0 ? Fixed(value / ceiling, 2) : "-";
}

std::string Mb(long kb) {
    return kb < 0 ? "-" : Fixed(kb / 1024.0, 1);
}

// "a / b / c": per process, each count divided by `seconds` when that is positive.
std::string PerProcess(const std::vector<long>& counts, double seconds) {
    if (counts.size() < 2) return "";
    std::string text;
    for (long c : counts) {
        if (!text.empty()) text += " / ";
        text += seconds > 0 ? Fixed(c / seconds, 0) : std::to_string(c);
    }
    return text;
}

void WarnTally(const std::string& label, const Tally& t) {
    if (t.Missing() == 0 && t.duplicates == 0) return;
    fprintf(stderr, "tolvane-bench: %s: %ld missing, %ld duplicated replies\n", label.c_str(),
            t.Missing(), t.duplicates);
}

// Prints `line` without the blanks an empty last column leaves.
void PrintLine(std::string line) {
    line.erase(line.find_last_not_of(' ') + 1);
    puts(line.c_str());
}

void PrintMainRow(const Options& o, const ThroughputFigures& t, const LatencyFigures& l) {
    char line[512];
    if (o.header) {
        snprintf(line, sizeof line, "%-32s %9s %5s %5s %7s %5s %7s %5s %10s %10s %7s  %s",
                 "responder", "replies/s", "xA", "xP", "p50 ms", "xA", "p99 ms", "xA", "CPU us/rep",
                 "broker us", "peak MB", "per daemon replies/s");
        PrintLine(line);
    }
    const CeilingFigures a = ReadCeiling(o.ceilingFile, "A");
    const CeilingFigures p = ReadCeiling(o.ceilingFile, "P");
    const double replies = t.tally.unique > 0 ? double(t.tally.unique) : 1;
    const double cpuUs = t.tally.unique > 0 ? t.cpuSeconds * 1e6 / replies : 0;
    const std::string brokerUs =
        t.brokerCpuSeconds < 0 ? "-" : Fixed(t.brokerCpuSeconds * 1e6 / replies, 1);
    snprintf(line, sizeof line, "%-32s %9.0f %5s %5s %7.2f %5s %7.2f %5s %10.1f %10s %7s  %s",
             o.label.c_str(), t.perSecond, Ratio(t.perSecond, a.perSecond, a.known).c_str(),
             Ratio(t.perSecond, p.perSecond, p.known).c_str(), l.p50,
             Ratio(l.p50, a.p50, a.known).c_str(), l.p99, Ratio(l.p99, a.p99, a.known).c_str(),
             cpuUs, brokerUs.c_str(), Mb(t.peakRssKb).c_str(),
             PerProcess(t.handled, t.seconds).c_str());
    PrintLine(line);
    WarnTally(o.label, t.tally);
}

void PrintBacklogRow(const Options& o, const ThroughputFigures& t) {
    char line[512];
    if (o.header) {
        snprintf(line, sizeof line, "%-26s %8s %8s %6s %7s %9s %7s  %s", "backlog", "queued",
                 "unique", "dupl.", "missing", "replies/s", "peak MB", "per daemon handled");
        PrintLine(line);
    }
    snprintf(line, sizeof line, "%-26s %8ld %8ld %6ld %7ld %9.0f %7s  %s", o.label.c_str(),
             t.tally.expected, t.tally.unique, t.tally.duplicates, t.tally.Missing(), t.perSecond,
             Mb(t.peakRssKb).c_str(), PerProcess(t.handled, 0).c_str());
    PrintLine(line);
}

int Fail(const std::string& what) {
    fprintf(stderr, "tolvane-bench: %s\n", what.c_str());
    return 1;
}

int RunCeiling(const Options& o, CallClient& client) {
    CeilingOptions co;
    co.login = BrokerLogin(o.broker, kBrokerTimeoutS);
    co.queue = o.queue;
    co.acks = o.acks;
    co.confirm = o.confirm;
    if (o.pipelined) {
        co.threads = 1;
        co.acks = co.confirm = co.pipelined = true;
        // The daemon's intake window on its defaults: intake_limit 100 + 10 workers.
        co.prefetch = 110;
    }
    if (o.prefetch > 0) co.prefetch = o.prefetch;
    Ceiling ceiling(co);
    ThroughputFigures t;
    LatencyFigures l;
    std::string error;
    bool ok = RunThroughput(client, ceiling, WorkloadOf(o, "t"), &t, &error) &&
              RunLatency(client, o.queue, o.platform, o.roundTrips, &l, &error);
    ceiling.Stop();
    if (!ceiling.Error().empty()) return Fail(ceiling.Error());
    if (!ok) return Fail(error);
    // The first ceiling of each reference is the one the later rows are compared with.
    const std::string name = o.reference.empty() ? "A" : o.reference;
    if (!ReadCeiling(o.ceilingFile, name).known) WriteCeiling(o.ceilingFile, name, t, l);
    PrintMainRow(o, t, l);
    return 0;
}

int RunDaemons(const Options& o, CallClient& client) {
    DaemonSet daemons(o.daemon, o.home, o.pidFile, o.daemons);
    ThroughputFigures t;
    LatencyFigures l;
    std::string error;
    if (o.mode == "backlog") {
        Workload w = WorkloadOf(o, "q");
        w.graceMs = 2000;
        if (!RunThroughput(client, daemons, w, &t, &error)) return Fail(error);
        daemons.Stop();
        PrintBacklogRow(o, t);
        return 0;
    }
    bool ok = RunThroughput(client, daemons, WorkloadOf(o, "t"), &t, &error) &&
              RunLatency(client, o.queue, o.platform, o.roundTrips, &l, &error);
    // Peak memory over both phases, read while the daemons still run.
    t.peakRssKb = daemons.PeakRssKb();
    daemons.Stop();
    if (!ok) return Fail(error);
    PrintMainRow(o, t, l);
    return 0;
}

// The requesters' libraries, C++ and Python, against the daemon(s).
int RunRequesters(const Options& o) {
    DaemonSet daemons(o.daemon, o.home, o.pidFile, o.daemons);
    std::string error;
    if (!daemons.Start(&error)) return Fail(error);
    RequesterBench b;
    b.port = o.broker.port;
    b.password = o.broker.pwd;
    b.queue = o.queue;
    b.label = o.label;
    b.calls = o.count > 0 ? o.count : b.calls;
    b.roundTrips = o.roundTrips;
    b.pythonScript = BENCH_SOURCE_DIR "/bench/requesters.py";
    b.pythonPath = BENCH_SOURCE_DIR "/python";
    const bool ok = RunRequesterRows(b, &error);
    daemons.Stop();
    return ok ? 0 : Fail(error);
}

int RunForeground(const Options& o, CallClient& client) {
    ForegroundProcess responder(o.command);
    Workload w = WorkloadOf(o, "f");
    w.idleMs = 120000;  // a profiled start is slow
    ThroughputFigures t;
    std::string error;
    const bool ok = RunThroughput(client, responder, w, &t, &error);
    t.peakRssKb = responder.PeakRssKb();
    responder.Stop();
    if (!ok) return Fail(error);
    PrintMainRow(o, t, LatencyFigures());
    return 0;
}

int RunSoakMode(const Options& o, CallClient& client) {
    DaemonSet daemons(o.daemon, o.home, o.pidFile, o.daemons);
    SoakPlan plan;
    plan.load = WorkloadOf(o, "s");
    plan.batch = o.batch;
    plan.rssGrowthKb = o.rssGrowthKb;
    return RunSoak(client, daemons, plan);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    CallClient client(o.broker);
    if (!client.Connect(kBrokerTimeoutS) || !client.DeclareQueue(o.queue) ||
        !client.Listen(o.platform)) {
        return Fail(client.Error());
    }
    int waiting = 0;
    if (!client.CheckQueue(o.queue, &waiting) || waiting != 0) {
        return Fail("queue \"" + o.queue + "\" is not empty (" + std::to_string(waiting) +
                    " waiting)");
    }
    if (o.mode == "soak") return RunSoakMode(o, client);
    if (o.mode == "requesters") return RunRequesters(o);
    if (o.mode == "foreground") return RunForeground(o, client);
    return o.mode == "ceiling" ? RunCeiling(o, client) : RunDaemons(o, client);
}
