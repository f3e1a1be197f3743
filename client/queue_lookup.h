// Start-up lookup of the queue to serve, stored under "queue" in the service settings.
// The endpoint is http://<lookup_host>/remoteService/getmqname.asp, where "lookup_host"
// ("host" or "host:port", default "127.0.0.1") is read from the same settings file.
#ifndef TOLVANE_CLIENT_QUEUE_LOOKUP_H
#define TOLVANE_CLIENT_QUEUE_LOOKUP_H

#include <cstddef>

// One POST with an empty body, bounded to 5 s for connecting and 10 s in all. Only a 2xx
// answer whose body is one line (a single trailing line break is kept as part of the value)
// and holds no "=" is stored; any other outcome leaves the settings file as it was.
void GetQueue();
// libcurl write callback: appends the piece to the std::string that `stream` points to
// (the body is judged once it is complete). Returns the number of bytes taken; 0 makes
// libcurl abort a body too long to be a queue name.
size_t GetQueueName(void* ptr, size_t size, size_t n, void* stream);

#endif
