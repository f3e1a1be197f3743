// The requesters' libraries against the daemon: round trips per second with 100 calls in
// flight from one client, and p50/p99 of sequential calls; a row for C++ (libtolvane-client)
// and one for Python (bench/requesters.py, the tolvane package).
#ifndef TOLVANE_BENCH_REQUESTERS_H
#define TOLVANE_BENCH_REQUESTERS_H

#include <string>

struct RequesterBench {
    int port = 5672;
    std::string password;
    std::string queue;
    std::string label;  // printed before each row's language
    long calls = 5000;  // through the window of 100
    int roundTrips = 1000;
    std::string pythonScript;  // bench/requesters.py
    std::string pythonPath;    // the package's folder
};

// Prints the two rows with the daemon(s) already answering on the queue; false on a failed call.
bool RunRequesterRows(const RequesterBench& b, std::string* error);

#endif
