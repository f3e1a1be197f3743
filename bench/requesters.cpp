// The requesters' rows; see requesters.h.
#include "bench/requesters.h"

#include <stdio.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "tolvane/client.h"

namespace {

using Clock = std::chrono::steady_clock;
const size_t kInFlight = 100;
const auto kTimeout = std::chrono::seconds(60);
const tolvane::Record kEcho = {{"comtype", "echo"}, {"nfunc", "echo"}, {"a", "1"}};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintRow(const std::string& label, double perSecond, double p50, double p99) {
    printf("%-32s %9.0f %5s %5s %7.2f %5s %7.2f %5s\n", label.c_str(), perSecond, "-", "-", p50,
           "-", p99, "-");
    fflush(stdout);
}

// `calls` round trips, never more than kInFlight at once.
bool Windowed(tolvane::Client& client, long calls, double* perSecond, std::string* error) {
    std::deque<std::future<tolvane::Result>> window;
    const auto start = Clock::now();
    for (long sent = 0, done = 0; done < calls;) {
        while (window.size() < kInFlight && sent < calls) {
            window.push_back(client.CallAsync({kEcho}, kTimeout));
            ++sent;
        }
        tolvane::Result r = window.front().get();
        window.pop_front();
        ++done;
        if (!r) {
            *error = r.error;
            return false;
        }
    }
    *perSecond = calls / std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

bool Sequential(tolvane::Client& client, int count, double* p50, double* p99, std::string* error) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        tolvane::Result r = client.Call({kEcho}, kTimeout);
        if (!r) {
            *error = r.error;
            return false;
        }
        ms.push_back(Ms(Clock::now() - start));
    }
    std::sort(ms.begin(), ms.end());
    *p50 = ms[ms.size() / 2];
    *p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    return true;
}

}  // namespace

bool RunRequesterRows(const RequesterBench& b, std::string* error) {
    tolvane::Options options;
    options.port = b.port;
    options.pwd = b.password;
    options.queue = b.queue;
    options.platform = "tolvane.bench.requester";
    tolvane::Client client(options);
    double perSecond = 0, p50 = 0, p99 = 0;
    if (!Windowed(client, 200, &perSecond, error) ||  // warm
        !Windowed(client, b.calls, &perSecond, error) ||
        !Sequential(client, b.roundTrips, &p50, &p99, error)) {
        return false;
    }
    PrintRow(b.label + " C++ library", perSecond, p50, p99);

    const std::string command = "PYTHONPATH='" + b.pythonPath + "' /usr/bin/python3 '" +
                                b.pythonScript + "' " + std::to_string(b.port) + " '" + b.password +
                                "' '" + b.queue + "' " + std::to_string(b.calls) + " " +
                                std::to_string(b.roundTrips);
    FILE* python = popen(command.c_str(), "r");
    if (!python) {
        *error = "cannot run " + b.pythonScript;
        return false;
    }
    const int got = fscanf(python, "%lf %lf %lf", &perSecond, &p50, &p99);
    if (pclose(python) != 0 || got != 3) {
        *error = b.pythonScript + " failed";
        return false;
    }
    PrintRow(b.label + " Python package", perSecond, p50, p99);
    return true;
}
