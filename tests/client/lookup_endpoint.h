// The queue-name endpoint of the tests: scripts/lookup_server.py on a free loopback port,
// started per test and ended by its pid; or another HTTP peer script of the same options.
#ifndef TOLVANE_TEST_LOOKUP_ENDPOINT_H
#define TOLVANE_TEST_LOOKUP_ENDPOINT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testutil.h"

class LookupEndpoint {
public:
    // `script`: under the source tree, taking --port-file and --log as lookup_server.py does.
    explicit LookupEndpoint(std::string script = "scripts/lookup_server.py")
        : _script(std::move(script)) {}
    ~LookupEndpoint() { Stop(); }
    LookupEndpoint(const LookupEndpoint&) = delete;
    LookupEndpoint& operator=(const LookupEndpoint&) = delete;

    // Options of lookup_server.py, e.g. {"--body", "q1", "--status", "500"}.
    bool Start(const std::vector<std::string>& options) {
        // A port file left by an earlier start would name a server that is gone.
        unlink(_dir.file("port").c_str());
        unlink(_dir.file("requests").c_str());
        _port = 0;
        const std::string script = std::string(TEST_SOURCE_DIR) + "/" + _script;
        std::vector<std::string> args = {"python3",         script,  "--port-file",
                                         _dir.file("port"), "--log", _dir.file("requests")};
        args.insert(args.end(), options.begin(), options.end());
        _pid = fork();
        if (_pid == 0) {
            std::vector<char*> argv;
            argv.reserve(args.size() + 1);
            for (auto& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && _pid > 0; ++i) {
            _port = atoi(testutil::ReadAll(_dir.file("port")).c_str());
            if (_port > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void Stop() {
        if (_pid <= 0) return;
        kill(_pid, SIGTERM);
        waitpid(_pid, nullptr, 0);
        _pid = -1;
    }

    int port() const { return _port; }
    std::string host() const { return "127.0.0.1:" + std::to_string(_port); }
    // What the script logged since the last Start; lookup_server.py: one line per request
    // received, "METHOD PATH BODY-LENGTH".
    std::string Requests() const { return testutil::ReadAll(_dir.file("requests")); }

private:
    const std::string _script;
    testutil::TempDir _dir;
    pid_t _pid = -1;
    int _port = 0;
};

// A loopback port on which nothing listens: bound once to learn a free number, then released.
inline int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    close(fd);
    return bound ? ntohs(addr.sin_port) : 0;
}

#endif
