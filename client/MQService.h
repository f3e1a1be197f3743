// Broker connections of the service: one consuming connection owned by the main thread,
// and one publishing connection per reply. Neither class logs; failures land in _error.
#ifndef TOLVANE_MQSERVICE_H
#define TOLVANE_MQSERVICE_H

#include <string>

#include "client/rabbit.h"

// Results of CConsumer::ConsumeMessage.
enum { kConsumeDelivered = 0, kConsumeNothing = 1, kConsumeBroken = 2 };

class CConsumer {
public:
    CConsumer(const char* ip, const char* queue, const char* userName, const char* pwd,
              const char* vhost, int port, int frame_max);
    ~CConsumer();
    CConsumer(const CConsumer&) = delete;
    CConsumer& operator=(const CConsumer&) = delete;

    bool Init();
    // 0: *msg owns a malloc'ed amqp_envelope_t (release with amqp_destroy_envelope + free);
    // 1: nothing within a second; 2: set-up failed or the connection broke (see Error()).
    int ConsumeMessage(char** msg);
    bool CheckReply();
    bool CheckReply(amqp_rpc_reply_t& reply);
    const std::string& Error() const { return _error; }

private:
    std::string _queue;
    std::string _server;
    std::string _userName;
    std::string _pwd;
    std::string _vhost;
    int _port;
    int _frame_max;
    amqp_connection_state_t _conn;
    std::string _error;
    bool _bConnected;
    bool _bChannelOpen;
    bool _bReady;
};

class CPublisher {
public:
    CPublisher(const char* ip, const char* userName, const char* pwd, const char* vhost,
               int port, int frame_max);
    ~CPublisher();
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    bool Init();
    // basic.publish + tx.commit; true only when the broker confirmed the commit.
    bool PublishMessage(const char* exchange, const char* key, char* msg, unsigned long size);
    const std::string& Error() const { return _error; }

private:
    bool _bReady;
    amqp_connection_state_t _conn;
    std::string _server;
    std::string _userName;
    std::string _pwd;
    std::string _vhost;
    int _port;
    int _frame_max;
    std::string _error;
    bool _bConnected;
    bool _bChannelOpen;
};

#endif
