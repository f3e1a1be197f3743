// The cautious start: after a run that did not end in an orderly stop, the consumer takes one
// request at a time (basic.qos 1) until `cautious_start` requests have completed and a
// delivery came that is not sent again; on deliveries the broker sends again (another run's,
// or this one's after a lost connection) until one came that is not. Then it widens to
// intake_limit + workers. A crash in that phase returns only the request in
// flight, so a quorum queue's delivery limit counts the crashing request alone.
#ifndef TOLVANE_CLIENT_CAUTIOUS_START_H
#define TOLVANE_CLIENT_CAUTIOUS_START_H

#include <stdint.h>

#include <string>

// Owned by the consume loop's thread.
class CautiousStart {
public:
    // At start, before the first consumer: `wide` is the window outside the phase, `count`
    // the requests to complete in it (0: never cautious). The marker of a run that did not
    // stop in order begins the phase; a marker is left for this run.
    void Begin(int wide, int count);
    // A new consumer connection: its first delivery is taken alone, to see whether the broker
    // sends requests again.
    void Connected();
    // A delivery was handed over, with the broker's redelivered flag.
    void Delivered(bool redelivered);
    // The window to ask the broker for now; ends the phase once it is over.
    int Window();

private:
    enum class Phase { kWide, kFirst, kCautious };
    // Begins the phase, to last until `needed` requests have completed (and, always, until a
    // delivery is not one sent again).
    void Enter(const char* why, int needed);
    bool Off() const { return _count <= 0 || _wide <= 1; }

    int _wide = 0;
    int _count = 0;
    int _needed = 0;
    Phase _phase = Phase::kWide;
    bool _lastAgain = false;  // the last delivery was one the broker sent again
    uint64_t _base = 0;       // JobsFinished() when the phase began
};

// Where the marker lies: beside the pid file.
std::string CautiousMarker();
// An orderly stop (every request held finished): the next start need not be cautious. Any
// thread.
void RemoveCautiousMarker();

#endif
