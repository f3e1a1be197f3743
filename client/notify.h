// systemd's notifications (sd_notify): readiness once the consumer consumes, the counters as
// the unit's status, the watchdog's keep-alive from the consume loop, and the stop. Without
// NOTIFY_SOCKET each call does nothing.
#ifndef TOLVANE_CLIENT_NOTIFY_H
#define TOLVANE_CLIENT_NOTIFY_H

#include <string>

// The consume loop's thread: the consumer consumes (READY=1, the counters as STATUS=).
void NotifyReady();
// The consume loop's thread: `text` as the unit's status.
void NotifyStatus(const std::string& text);
// The consume loop's thread, at every turn and every wait of a second or less: WATCHDOG=1
// when due while systemd watches the process (WATCHDOG_USEC), and the counters every few
// seconds. Pinged from the loop itself, so that a loop that hangs is restarted.
void NotifyAlive();
// Any thread: a stop begins (STOPPING=1).
void NotifyStopping();

#endif
