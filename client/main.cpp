// Entry of the service: become a daemon, keep to one instance, start the workers, learn the
// queue name, read the broker settings, then consume for ever. There is no orderly stop.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "MQService.h"
#include "MSGOperation.h"
#include "config.h"
#include "log.h"
#include "paths.h"
#include "queue_lookup.h"
#include "threadpool.h"
#include "tools.h"

namespace {

struct BrokerSettings {
    std::string ip;
    std::string queue;
    std::string userName;
    std::string pwd;
    std::string vhost;
    int port;
    int frame_max;
};

BrokerSettings ReadBrokerSettings(Config& config) {
    BrokerSettings s;
    s.ip = config.GetValue("server", "127.0.0.1");
    s.queue = config.GetValue("queue", "");
    s.userName = config.GetValue("userName", "guest");
    s.pwd = config.GetValue("pwd", "quilb");
    s.vhost = config.GetValue("vhost", "/");
    std::string szPort = config.GetValue("port", "5672");
    std::string frame = config.GetValue("frame_max", "131072");
    s.port = atoi(szPort.c_str());
    s.frame_max = atoi(frame.c_str());
    return s;
}

// The envelope belongs to the queued job from here on; if no job could be queued, nobody
// else will ever release it.
void HandOver(char* msg) {
    if (tpool_add_work(ProcMSG, msg) == 0) return;
    amqp_envelope_t* env = reinterpret_cast<amqp_envelope_t*>(msg);
    amqp_destroy_envelope(env);
    free(env);
    LOG("failed to queue the message, it is dropped");
}

// Returns once the consumer reports its connection unusable.
void ConsumeUntilBroken(CConsumer& consumer) {
    for (;;) {
        char* msg = nullptr;
        int ret = consumer.ConsumeMessage(&msg);
        if (ret == 1) {
            sleep(1);
        } else if (ret == 0) {
            HandOver(msg);
        } else {
            return;
        }
    }
}

}  // namespace

int main(int, char**) {
    daemon(0, 0);

    if (IsRunning(TOLVANE_PID_FILE) != 0) {
        LOG("one instance is running!!!");
        exit(1);
    }
    if (tpool_init(10) != 0) {
        LOG("failed to create the thread pool!!!");
        exit(1);
    }

    // Before the settings are read, so that a name just stored is the one consumed.
    GetQueue();

    Config config;
    config.LoadConfigFile(TOLVANE_MQ_CONF);
    const BrokerSettings s = ReadBrokerSettings(config);

    for (;;) {
        CConsumer consumer(s.ip.c_str(), s.queue.c_str(), s.userName.c_str(), s.pwd.c_str(),
                           s.vhost.c_str(), s.port, s.frame_max);
        ConsumeUntilBroken(consumer);
        LOG("the connection may lose,connect the mq server again...");
        if (!consumer.Error().empty()) LOG(consumer.Error().c_str());
        sleep(10);
    }
}
