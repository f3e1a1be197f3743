// The orderly stop: begun by the signal thread when SIGTERM or SIGINT comes, run by the
// thread that owns the consume loop, which ends it and returns the exit status. Should that
// thread still wait on the broker at the hard deadline, the signal thread ends the process.
// No signal is handled in a signal handler, so both threads may log.
#ifndef TOLVANE_CLIENT_STOP_H
#define TOLVANE_CLIENT_STOP_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/settings.h"

class AckQueue;

// The stop: begun by the signal thread and run by the main thread, which ends it when done;
// should the main thread still be waiting on the broker at the hard deadline, the signal
// thread ends it and the process. Whichever ends it writes the last lines, under the lock.
class StopRecord {
public:
    using Clock = std::chrono::steady_clock;

    // Signal thread: a stop signal came now.
    void Begin(const Settings& s);
    // Signal thread: returns once the main thread has ended the stop. Past the hard deadline,
    // writes the lines the main thread did not get to and ends the process, status 1 when
    // requests were abandoned.
    void AwaitEnd();

    // Main thread.
    bool Begun() const { return _begun; }
    Clock::time_point Deadline();
    // Every request held is finished; closing the connections is left.
    void Drained();
    // The deadline came first: logs what is abandoned.
    void Abandon();
    bool Abandoned();
    // Logs the end unless Abandon did, removes the pid file; the exit status.
    int End();

private:
    void LogFinished();
    void LogAbandoned();

    std::mutex _lock;
    std::condition_variable _ended;
    std::atomic<bool> _begun{false};
    const Settings* _s = nullptr;
    Clock::time_point _deadline;  // stop_timeout after the signal
    uint64_t _before = 0;         // JobsFinished() at the signal
    bool _drained = false;
    bool _abandoned = false;
    bool _over = false;
    int _status = 0;  // set with the last line
};

// The one stop of the service.
StopRecord& ServiceStop();

// MUST be called by the main thread before any other thread exists: the stop signals are
// then taken by the service's own signal thread only.
void BlockStopSignals();

// The signal thread: SIGHUP is ignored, SIGTERM or SIGINT begins the stop and wakes the
// consume loop through `wake`; then it only watches the hard deadline. Logs the counters line
// every stats_interval seconds meanwhile.
void WatchSignals(const Settings& s, AckQueue* wake);

#endif
