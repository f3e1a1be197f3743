// The one place that includes the AMQP client library's headers (they moved under
// rabbitmq-c/ in newer releases).
#ifndef TOLVANE_AMQP_RABBIT_H
#define TOLVANE_AMQP_RABBIT_H

#if __has_include(<rabbitmq-c/amqp.h>)
#include <rabbitmq-c/amqp.h>
#include <rabbitmq-c/ssl_socket.h>
#include <rabbitmq-c/tcp_socket.h>
#else
#include <amqp.h>
#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#endif

#endif
