// reply_connection=pipelined: replies handed over to one publishing thread, which owns a
// connection of its own in confirm mode, publishes without waiting and tells each reply's
// `done` as the broker's confirms come in.
#ifndef TOLVANE_CLIENT_REPLY_PIPELINED_H
#define TOLVANE_CLIENT_REPLY_PIPELINED_H

#include <stddef.h>

#include "client/reply.h"

// Queues `reply` for the publishing thread (started on first use) and returns; waits first
// while `s.reply_window` replies are handed over and not yet told. `done` is called once,
// from the publishing thread.
void HandOverPipelined(const Settings& s, Reply reply, const ReplyDone& done);

// Replies handed over whose `done` has not been called yet: the stop waits for none.
size_t RepliesOutstanding();

#endif
