// The queue-name endpoint of the tests: scripts/lookup_server.py on a free loopback port,
// started per test and ended by its pid.
#ifndef TOLVANE_LOOKUP_ENDPOINT_H
#define TOLVANE_LOOKUP_ENDPOINT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

class LookupEndpoint {
public:
    LookupEndpoint() = default;
    ~LookupEndpoint() { Stop(); }
    LookupEndpoint(const LookupEndpoint&) = delete;
    LookupEndpoint& operator=(const LookupEndpoint&) = delete;

    // Options of lookup_server.py, e.g. {"--body", "q1", "--status", "500"}.
    bool Start(const std::vector<std::string>& options) {
        // A port file left by an earlier start would name a server that is gone.
        unlink(dir_.file("port").c_str());
        unlink(dir_.file("requests").c_str());
        port_ = 0;
        const std::string script = std::string(TEST_SOURCE_DIR) + "/scripts/lookup_server.py";
        std::vector<std::string> args = {"python3",         script,  "--port-file",
                                         dir_.file("port"), "--log", dir_.file("requests")};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && pid_ > 0; ++i) {
            port_ = atoi(testutil::ReadAll(dir_.file("port")).c_str());
            if (port_ > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    // One line per request received since the last Start: "METHOD PATH BODY-LENGTH".
    std::string Requests() const { return testutil::ReadAll(dir_.file("requests")); }

private:
    testutil::TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A loopback port on which nothing listens: bound once to learn a free number, then released.
inline int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

#endif
