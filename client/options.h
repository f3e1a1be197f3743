// The daemon's command line, and the checks that must pass while the starting command can
// still tell its caller why it cannot start (before it detaches).
#ifndef TOLVANE_CLIENT_OPTIONS_H
#define TOLVANE_CLIENT_OPTIONS_H

#include <string>

struct StartOptions {
    bool foreground = false;   // no daemon(); log lines also on stderr
    std::string home;          // empty: the built-in home
    std::string pidFile;       // empty: the built-in pid file
    bool checkConfig = false;  // check the settings file instead of starting
};

// ParseCommandLine's result when the service is to start.
const int kStartService = -1;

// Fills `opts` from the arguments; relative paths are made absolute, since a daemon runs
// from "/". Returns kStartService, or the exit status once --help or --version has been
// answered on stdout (0) or an argument has been refused on stderr with the usage (2).
int ParseCommandLine(int argc, char** argv, StartOptions* opts);

// Moves the home and the pid file where `opts` says, and echoes the log when in the
// foreground. MUST be called before any thread runs.
void ApplyOptions(const StartOptions& opts);

// The log folder can be created and written, an existing settings file can be opened for
// reading and writing (as the settings reader opens it), and the pid file can be opened for
// writing (created if need be). On the first failure, says why on stderr and returns false.
// Only for a start with options: run bare, the daemon starts as it always has.
bool StartupPossible();

// --check-config: every problem of the home's settings file on stderr as "mq.conf:LINE:
// reason" and status 1, or one line on stdout and status 0. Starts nothing.
int CheckConfig();

#endif
