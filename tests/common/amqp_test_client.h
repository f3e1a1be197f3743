// Test-side AMQP peer on a connection of its own (guest/guest on loopback), used to set up
// exchanges and queues, publish raw bodies and read what the service sent.
#ifndef TOLVANE_TEST_AMQP_TEST_CLIENT_H
#define TOLVANE_TEST_AMQP_TEST_CLIENT_H

#include <map>
#include <string>
#include <vector>

#include "amqp/broker.h"

struct amqp_connection_state_t_;
struct amqp_basic_properties_t_;

// A header a test sends: a text, or with `number` its value as a signed 64-bit integer.
struct TestHeader {
    std::string key;
    std::string value;
    bool number = false;
};

// What a test reads of a message beside its body: its expiration and correlation_id ("" when
// none) and its headers, a number as its decimal text.
struct TestProperties {
    std::string expiration;
    std::string correlation_id;
    std::map<std::string, std::string> headers;
};

class TestAmqp {
public:
    TestAmqp() = default;
    ~TestAmqp();
    TestAmqp(const TestAmqp&) = delete;
    TestAmqp& operator=(const TestAmqp&) = delete;

    bool Connect(int port = TEST_AMQP_PORT, const char* user = "guest", const char* pwd = "guest");
    // To any broker: another node, TLS.
    bool Connect(const BrokerSettings& broker);
    bool DeclareExchange(const std::string& name, const std::string& type = "direct");
    bool DeleteExchange(const std::string& name);
    // Durable false, exclusive false, auto-delete false.
    bool DeclareQueue(const std::string& name);
    bool DeleteQueue(const std::string& name);
    bool PurgeQueue(const std::string& name);
    bool Bind(const std::string& queue, const std::string& exchange, const std::string& key);
    // Publishes `body` byte for byte; exchange "" is the default exchange (key = queue name).
    bool Publish(const std::string& exchange, const std::string& key, const std::string& body);
    // The same with `headers`.
    bool Publish(const std::string& exchange, const std::string& key, const std::string& body,
                 const std::vector<TestHeader>& headers);
    // The same with the properties reply_to and correlation_id, byte for byte.
    bool PublishReplyTo(const std::string& key, const std::string& body, const std::string& replyTo,
                        const std::string& correlationId);
    // Polls basic.get until a message arrives or timeout_ms passes. Fills body and, when
    // given, the content type and delivery mode of the message.
    bool Get(const std::string& queue, std::string* body, int timeoutMs,
             std::string* contentType = nullptr, int* deliveryMode = nullptr);
    // The same with what `props` reads.
    bool Get(const std::string& queue, std::string* body, int timeoutMs, TestProperties* props);
    // Number of messages ready in the queue, or -1.
    int MessageCount(const std::string& queue);

private:
    bool PublishWith(const std::string& exchange, const std::string& key, const std::string& body,
                     const amqp_basic_properties_t_* props);
    bool GetWith(const std::string& queue, std::string* body, int timeoutMs,
                 std::string* contentType, int* deliveryMode, TestProperties* props);

    amqp_connection_state_t_* _conn = nullptr;
};

// rabbitmqctl against the tests' private node; returns the exit status.
int Rabbitmqctl(const std::string& args);
// Capture of rabbitmqctl's standard output.
std::string RabbitmqctlOutput(const std::string& args);

#endif
