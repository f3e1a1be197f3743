// Entry of the service: become a daemon, keep to one instance, start the workers, learn the
// queue name, read the broker settings, then consume for ever. There is no orderly stop.
#include <stdlib.h>
#include <unistd.h>

#include "client/MQService.h"
#include "client/job.h"
#include "client/log.h"
#include "client/queue_lookup.h"
#include "client/settings.h"
#include "client/threadpool.h"
#include "dravik/tools.h"
#include "client/home.h"

namespace {

const int kWorkers = 10;
const unsigned kIdlePauseSec = 1;       // after a wait that brought nothing
const unsigned kReconnectPauseSec = 10;  // before a broken consumer is rebuilt

// Returns once the consumer reports its connection unusable.
void ConsumeUntilBroken(CConsumer& consumer, unsigned generation) {
    for (;;) {
        char* msg = nullptr;
        int ret = consumer.ConsumeMessage(&msg);
        if (ret == kConsumeNothing) {
            sleep(kIdlePauseSec);
        } else if (ret == kConsumeDelivered) {
            amqp_envelope_t* env = reinterpret_cast<amqp_envelope_t*>(msg);
            JobContext ctx;
            ctx.delivery_tag = env->delivery_tag;
            ctx.generation = generation;
            QueueJob(env, ctx);
        } else {
            return;
        }
    }
}

}  // namespace

int main(int, char**) {
    daemon(0, 0);

    if (IsRunning(PidFile().c_str()) != 0) {
        LOG("one instance is running!!!");
        exit(1);
    }
    if (tpool_init(kWorkers) != 0) {
        LOG("failed to create the thread pool!!!");
        exit(1);
    }

    // Before the settings are read, so that a name just stored is the one consumed.
    GetQueue();
    const Settings s = ReadSettings(MqConfPath());
    const BrokerSettings& b = s.broker;

    for (unsigned generation = 1;; ++generation) {
        CConsumer consumer(b.server.c_str(), s.queue.c_str(), b.userName.c_str(), b.pwd.c_str(),
                           b.vhost.c_str(), b.port, b.frame_max);
        ConsumeUntilBroken(consumer, generation);
        LOG("the connection may lose,connect the mq server again...");
        if (!consumer.Error().empty()) LOG(consumer.Error().c_str());
        sleep(kReconnectPauseSec);
    }
}
