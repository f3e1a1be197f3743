// Start-up lookup of the queue to serve, stored under "queue" in the service settings.
#ifndef TOLVANE_QUEUE_LOOKUP_H
#define TOLVANE_QUEUE_LOOKUP_H

#include <cstddef>

void GetQueue();
size_t GetQueueName(void* ptr, size_t size, size_t n, void* stream);

#endif
