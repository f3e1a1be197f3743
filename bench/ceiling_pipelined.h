// Ceiling P: what one thread can do with the daemon's full guarantees, as reply_connection=
// pipelined with ack_mode=after_reply gives them. It consumes with acknowledgements under
// basic.qos, publishes each reply on a second connection in confirm mode without waiting,
// reads the confirms as they come (polling the reply connection between deliveries) and
// acknowledges, with one multiple basic.ack, the deliveries up to the newest whose reply and
// all earlier replies are confirmed.
#ifndef TOLVANE_BENCH_CEILING_PIPELINED_H
#define TOLVANE_BENCH_CEILING_PIPELINED_H

#include <atomic>
#include <string>

#include "amqp/rabbit.h"

struct PipelinedLinks {
    amqp_connection_state_t consume;  // consuming with acknowledgements, under basic.qos
    amqp_channel_t consumeChannel;
    amqp_connection_state_t reply;  // its channel in confirm mode, nothing published yet
    amqp_channel_t replyChannel;
};

// Answers deliveries until `stop` is set (true) or something fails (false, with `error`).
bool ServePipelined(const PipelinedLinks& links, const std::atomic<bool>& stop, std::string* error);

#endif
