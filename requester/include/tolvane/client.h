// libtolvane-client: calls to a tolvane daemon through its RabbitMQ broker. A Client owns one
// broker connection, run by a thread of its own; Call and CallAsync may be used from any
// thread, with many calls in flight at once. Failures come back as values, never exceptions.
//
//   tolvane::Options options;
//   std::string error;
//   if (!tolvane::ReadOptions("/opt/tolvane/cfg/mq.conf", &options, &error)) ...
//   tolvane::Client client(options);
//   tolvane::Result r = client.Call({{{"comtype", "echo"}, {"nfunc", "say"}, {"text", "hi"}}},
//                                   std::chrono::seconds(10));
//   if (r) puts(r.reply.text.c_str()); else puts(r.error.c_str());
#ifndef TOLVANE_CLIENT_H
#define TOLVANE_CLIENT_H

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The library is built with hidden visibility; this marks what it exports.
#define TOLVANE_CLIENT_API __attribute__((visibility("default")))

namespace tolvane {

// Where the daemon's broker is and which queue it serves: the keys of the daemon's mq.conf,
// with its defaults, plus `platform`, the client's own.
struct TOLVANE_CLIENT_API Options {
    std::string server = "127.0.0.1";  // a host, or a list "h1,h2:5673,[::1]" tried in turn
    int port = 5672;
    std::string userName = "guest";
    std::string pwd = "quilb";
    std::string pwd_file;  // when set, the password is this file's first line
    std::string vhost = "/";
    int frame_max = 131072;
    bool tls = false;
    std::string tls_ca_file;  // empty: the system's CA store
    std::string tls_cert_file;
    std::string tls_key_file;
    bool tls_verify = true;
    std::string queue;  // the daemon's queue; required
    // The exchange (direct) and routing key that the daemon's replies are published to; the
    // client binds a private queue of its own to it. Clients sharing a platform each receive
    // every reply sent through it and drop the others', so busy programs should use their own.
    std::string platform = "tolvane-client";
    int connect_timeout = 10;  // seconds for the TCP connect and the login

    // Sets the option of `key` (its mq.conf name) from its text. Keys the client has no use
    // for (the daemon's own) are ignored; false with `error` for a value out of its form.
    bool Set(const std::string& key, const std::string& value, std::string* error);
};

// Reads `path`, a key=value file like the daemon's mq.conf ("#" begins a comment line), into
// `options` (keys not in the file keep their values). False with `error` when the file cannot
// be read or a value is out of its form.
TOLVANE_CLIENT_API bool ReadOptions(const std::string& path, Options* options, std::string* error);

// One call record: key=value items, "comtype" and "nfunc" among them.
using Record = std::vector<std::pair<std::string, std::string>>;

struct Reply {
    std::string guid;
    std::string text;
    bool ok = false;  // the text begins with "10000:", the mark of a call that succeeded
};

enum class Failure {
    kNone,
    kTimeout,         // no reply in time (the daemon not running, or slow)
    kUnreachable,     // no broker answered at any host
    kRefused,         // the broker refused the login, the vhost, a declaration or the request
    kConnectionLost,  // the connection broke while the call was in flight (a broker restart)
    kBadArgument,     // a record or option the request cannot carry; nothing was sent
    kClosed,          // the client was destroyed before the reply came
};

struct Result {
    Failure failure = Failure::kNone;
    Reply reply;        // with failure == kNone
    std::string error;  // otherwise: what failed, with the broker's host:port and text
    std::string where;  // the broker's host:port, when one was involved
    explicit operator bool() const { return failure == Failure::kNone; }
};

class TOLVANE_CLIENT_API Client {
public:
    explicit Client(const Options& options);
    ~Client();  // calls still in flight complete with kClosed
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends one request of `records` (a chain when several) and waits for its reply. `guid`
    // names the request (1 to 49 characters, unique among the calls in flight); empty: one of
    // the client's own. The request carries the header `deadline`: now + `timeout` in
    // milliseconds since the epoch, past which a daemon that honours it does not run the call.
    Result Call(const std::vector<Record>& records, std::chrono::milliseconds timeout,
                const std::string& guid = "");
    // The same without waiting: the future is ready when the reply, the failure or the time
    // limit comes.
    std::future<Result> CallAsync(const std::vector<Record>& records,
                                  std::chrono::milliseconds timeout, const std::string& guid = "");

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

// The library's version, "MAJOR.MINOR.PATCH".
TOLVANE_CLIENT_API const char* Version();

}  // namespace tolvane

#endif
