// A TCP relay on loopback between a client under test and the broker, for faults the broker
// cannot make: a host that accepts connections but never speaks (a frozen node), and a
// connection whose traffic vanishes without a close (a partition). It listens on an
// ephemeral port of 127.0.0.1 or ::1 and forwards each connection it accepts to the target
// port on 127.0.0.1, on a thread of its own.
#ifndef TOLVANE_TEST_RELAY_H
#define TOLVANE_TEST_RELAY_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Relay {
public:
    // kForward: new connections reach the target. kSilent: they are accepted and held, and
    // nothing is ever sent or forwarded on them.
    enum Mode { kForward, kSilent };

    explicit Relay(int targetPort, const std::string& listenHost = "127.0.0.1",
                   Mode mode = kForward)
        : _target(targetPort), _mode(mode) {
        const bool v6 = listenHost.find(':') != std::string::npos;
        _listen = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            inet_pton(AF_INET6, listenHost.c_str(), &a->sin6_addr);
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            a->sin_family = AF_INET;
            inet_pton(AF_INET, listenHost.c_str(), &a->sin_addr);
            len = sizeof *a;
        }
        if (bind(_listen, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(_listen, 64) != 0 ||
            getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return;
        }
        _port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        _thread = std::thread([this] { Run(); });
    }

    ~Relay() {
        _stop = true;
        if (_thread.joinable()) _thread.join();
        for (const Pair& p : _pairs) {
            close(p.client);
            if (p.broker >= 0) close(p.broker);
        }
        if (_listen >= 0) close(_listen);
    }

    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int port() const { return _port; }
    // Connections accepted so far.
    int Accepted() const { return _accepted; }
    // Connection `index` (in the order accepted) stops carrying anything either way, and stays
    // open: both ends see silence, no close.
    void Freeze(int index) {
        std::lock_guard<std::mutex> hold(_lock);
        if (index >= 0 && index < int(_pairs.size())) _pairs[index].frozen = true;
    }

private:
    struct Pair {
        int client;
        int broker;  // -1 for a silent connection
        bool frozen;
    };

    int ConnectTarget() const {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(_target);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void Accept() {
        int client = accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        int broker = _mode == kForward ? ConnectTarget() : -1;
        std::lock_guard<std::mutex> hold(_lock);
        _pairs.push_back({client, broker, _mode == kSilent});
        ++_accepted;
    }

    // Moves what is readable on `from` to `to`; false once `from` is closed.
    static bool Carry(int from, int to) {
        char buf[65536];
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) return false;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, size_t(n - done));
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }

    void Run() {
        while (!_stop) {
            std::vector<pollfd> fds{{_listen, POLLIN, 0}};
            std::vector<std::pair<size_t, bool>> owners{{0, false}};  // pair, from the client side
            {
                std::lock_guard<std::mutex> hold(_lock);
                for (size_t i = 0; i < _pairs.size(); ++i) {
                    if (_pairs[i].frozen || _pairs[i].broker < 0) continue;
                    fds.push_back({_pairs[i].client, POLLIN, 0});
                    owners.push_back({i, true});
                    fds.push_back({_pairs[i].broker, POLLIN, 0});
                    owners.push_back({i, false});
                }
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents) Accept();
            std::lock_guard<std::mutex> hold(_lock);
            for (size_t k = 1; k < fds.size(); ++k) {
                Pair& p = _pairs[owners[k].first];
                if (!fds[k].revents || p.frozen || p.broker < 0) continue;
                const bool fromClient = owners[k].second;
                if (!Carry(fromClient ? p.client : p.broker, fromClient ? p.broker : p.client)) {
                    // One side closed: close both, as a network would pass the close on.
                    shutdown(p.client, SHUT_RDWR);
                    shutdown(p.broker, SHUT_RDWR);
                    p.frozen = true;
                }
            }
        }
    }

    const int _target;
    const Mode _mode;
    int _listen = -1;
    int _port = 0;
    std::atomic<bool> _stop{false};
    std::atomic<int> _accepted{0};
    std::mutex _lock;
    std::vector<Pair> _pairs;
    std::thread _thread;
};

#endif
