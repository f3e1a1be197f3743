// The consume loop: the thread that owns the consumer connection consumes, hands each
// delivery to the pool with its context, sends the acknowledgements that workers queue back
// to it, reconnects after a pause when the connection breaks, and runs the stop: it closes
// the intake, lets the workers finish what the service holds, and closes the connection.
#ifndef TOLVANE_CLIENT_CONSUME_LOOP_H
#define TOLVANE_CLIENT_CONSUME_LOOP_H

#include <chrono>
#include <string>

#include "client/cautious_start.h"
#include "client/job.h"
#include "core/settings.h"

class CConsumer;
class StopRecord;

class ConsumeLoop {
public:
    ConsumeLoop(const Settings& s, StopRecord& stop);

    // One consumer connection, from set-up until it breaks (false) or the stop has been run
    // on it (true); a stop begun before it is run without a connection.
    bool Serve(unsigned generation);
    // Waits out the reconnect pause of `seconds`, or until a stop begins, a second at a time
    // for the watchdog.
    void PauseBeforeReconnect(int seconds);
    // Where workers queue acknowledgements and the signal thread wakes the loop.
    AckQueue& Acks() { return _acks; }

private:
    void HandOver(char* msg, unsigned generation);
    // Waits for a delivery on `socket`, for acknowledgements to flush, or for a ready one held
    // up behind an older delivery to be due alone.
    void Sleep(int socket);
    // Asks the broker for the window the cautious start calls for now; false once the
    // connection is unusable.
    bool AdjustWindow(CConsumer& consumer);
    // One turn of waiting for a delivery; false once the connection is unusable.
    bool Turn(CConsumer& consumer, unsigned generation);
    void CloseIntake(CConsumer& consumer, unsigned generation);
    // The stop, up to the close of `consumer` (null: none), which its owner does.
    void RunStop(CConsumer* consumer, unsigned generation);
    // One line on the consumer: `what` happened, then `text` (where, or why).
    void LogConsumer(const char* what, const std::string& text) const;

    using Clock = std::chrono::steady_clock;

    const Settings& _s;
    StopRecord& _stop;
    AckQueue _acks;
    const bool _intake;
    AckWindow _window;  // the deliveries of the connection served now
    CautiousStart _cautious;
    Clock::time_point _flushed;
};

#endif
