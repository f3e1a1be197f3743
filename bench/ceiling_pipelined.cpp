// Ceiling P's one thread; see ceiling_pipelined.h.
#include "bench/ceiling_pipelined.h"

#include <poll.h>

#include <chrono>
#include <deque>
#include <set>

#include "amqp/connection.h"
#include "bench/ceiling.h"

namespace {

const int kPollMs = 100;  // how soon an idle thread notices a stop

class PipelinedServer {
public:
    explicit PipelinedServer(const PipelinedLinks& links) : _l(links) {}

    bool Run(const std::atomic<bool>& stop, std::string* error) {
        while (!stop) {
            int delivered = TakeDelivery(error);
            int confirmed = delivered < 0 ? -1 : ReadConfirms(error);
            if (delivered < 0 || confirmed < 0) return false;
            if (delivered == 0 && confirmed == 0) WaitEither();
        }
        // The last replies' confirms and their acknowledgement: a request left unacknowledged
        // goes back to the queue and spoils the next row.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!_tags.empty() && std::chrono::steady_clock::now() < until) {
            if (ReadConfirms(error) < 0) return false;
            if (!_tags.empty()) WaitEither();
        }
        return true;
    }

private:
    // 1: a delivery was answered; 0: none was waiting; -1: failed.
    int TakeDelivery(std::string* error) {
        amqp_maybe_release_buffers(_l.consume);
        amqp_envelope_t env;
        struct timeval now = {0, 0};
        const amqp_rpc_reply_t r = amqp_consume_message(_l.consume, &env, &now, 0);
        if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
            r.library_error == AMQP_STATUS_TIMEOUT) {
            return 0;
        }
        if (r.reply_type != AMQP_RESPONSE_NORMAL) {
            *error = "waiting for a request: " + AmqpReplyText(r);
            return -1;
        }
        const int status = PublishCeilingReply(_l.reply, _l.replyChannel, env);
        _tags.push_back(env.delivery_tag);
        amqp_destroy_envelope(&env);
        if (status != AMQP_STATUS_OK) {
            *error = std::string("publishing a reply: ") + amqp_error_string2(status);
            return -1;
        }
        return 1;
    }

    // The confirms that have come, without waiting, and the acknowledgement they allow: the
    // number of frames read, or -1 on a failure.
    int ReadConfirms(std::string* error) {
        int frames = 0;
        for (;;) {
            amqp_frame_t frame;
            struct timeval now = {0, 0};
            const int status = amqp_simple_wait_frame_noblock(_l.reply, &frame, &now);
            if (status == AMQP_STATUS_TIMEOUT) break;
            if (status != AMQP_STATUS_OK) {
                *error = std::string("reading confirms: ") + amqp_error_string2(status);
                return -1;
            }
            ++frames;
            if (frame.frame_type != AMQP_FRAME_METHOD) continue;
            const amqp_method_t& m = frame.payload.method;
            if (m.id == AMQP_BASIC_ACK_METHOD) {
                const auto* ack = static_cast<const amqp_basic_ack_t*>(m.decoded);
                Confirmed(ack->delivery_tag, ack->multiple != 0);
            } else if (m.id == AMQP_BASIC_NACK_METHOD) {
                *error = "the broker did not take a reply (basic.nack)";
                return -1;
            } else if (m.id == AMQP_CHANNEL_CLOSE_METHOD || m.id == AMQP_CONNECTION_CLOSE_METHOD) {
                *error = "the broker closed the reply channel";
                return -1;
            }
        }
        amqp_maybe_release_buffers(_l.reply);
        return Acknowledge(error) ? frames : -1;
    }

    // Publish numbers count from 1 on the channel; out-of-order single confirms wait in
    // _ahead until the ones before them come.
    void Confirmed(uint64_t seq, bool multiple) {
        if (multiple) _through = std::max(_through, seq);
        else _ahead.insert(seq);
        while (!_ahead.empty() && *_ahead.begin() <= _through + 1) {
            _through = std::max(_through, *_ahead.begin());
            _ahead.erase(_ahead.begin());
        }
    }

    // One multiple basic.ack up to the delivery of the newest reply confirmed with all before.
    bool Acknowledge(std::string* error) {
        uint64_t tag = 0;
        while (_front <= _through && !_tags.empty()) {
            tag = _tags.front();
            _tags.pop_front();
            ++_front;
        }
        if (tag == 0) return true;
        const int status = amqp_basic_ack(_l.consume, _l.consumeChannel, tag, 1);
        if (status != AMQP_STATUS_OK) {
            *error = std::string("acknowledging requests: ") + amqp_error_string2(status);
        }
        return status == AMQP_STATUS_OK;
    }

    // Until either connection has something to read, or the poll's time is up.
    void WaitEither() {
        if (amqp_data_in_buffer(_l.consume) || amqp_frames_enqueued(_l.consume) ||
            amqp_data_in_buffer(_l.reply) || amqp_frames_enqueued(_l.reply)) {
            return;
        }
        struct pollfd pfd[2] = {{amqp_get_sockfd(_l.consume), POLLIN, 0},
                                {amqp_get_sockfd(_l.reply), POLLIN, 0}};
        poll(pfd, 2, kPollMs);
    }

    PipelinedLinks _l;
    std::deque<uint64_t> _tags;  // the delivery of each unconfirmed reply, in publish order
    uint64_t _front = 1;         // the publish number of _tags.front()
    uint64_t _through = 0;       // every publish up to this one is confirmed
    std::set<uint64_t> _ahead;   // confirmed singly past _through + 1
};

}  // namespace

bool ServePipelined(const PipelinedLinks& links, const std::atomic<bool>& stop,
                    std::string* error) {
    PipelinedServer server(links);
    return server.Run(stop, error);
}
