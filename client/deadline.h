// A request's `deadline` under honour_deadlines=yes: a request taken after it is not run nor
// answered, a chain stops between records once it passed, and the reply expires from its
// queue when its caller no longer waits. Without the setting a deadline changes nothing.
#ifndef TOLVANE_CLIENT_DEADLINE_H
#define TOLVANE_CLIENT_DEADLINE_H

#include <stdint.h>

#include <string>

#include "client/request.h"
#include "core/records.h"
#include "core/settings.h"

// Milliseconds since the epoch, the clock a requester's deadline counts on.
int64_t EpochMs();

// True when `r` is not to run: its deadline passed before a worker took it. Logs it (one
// line naming `logGuid`) and counts it; the request is then settled without a reply.
bool ExpiredOnTake(const Settings& s, const Request& r, const std::string& logGuid);

// Stops the chain of `r` between records once its deadline passed, with one log line; an
// empty go_on when there is nothing to watch.
RecordWatch DeadlineWatch(const Settings& s, const Request& r, const std::string& logGuid);

// The reply's AMQP expiration: the milliseconds left to the deadline, at least 1 (a reply
// finished past it still goes, and leaves its queue at once unless its caller reads it);
// empty when there is none to honour.
std::string ReplyExpiration(const Settings& s, const Request& r);

#endif
