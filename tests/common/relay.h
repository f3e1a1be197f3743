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
        : target_(targetPort), mode_(mode) {
        const bool v6 = listenHost.find(':') != std::string::npos;
        listen_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listen_, 64) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return;
        }
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~Relay() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (const Pair& p : pairs_) {
            close(p.client);
            if (p.broker >= 0) close(p.broker);
        }
        if (listen_ >= 0) close(listen_);
    }

    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int port() const { return port_; }
    // Connections accepted so far.
    int Accepted() const { return accepted_; }
    // Connection `index` (in the order accepted) stops carrying anything either way, and stays
    // open: both ends see silence, no close.
    void Freeze(int index) {
        std::lock_guard<std::mutex> hold(lock_);
        if (index >= 0 && index < int(pairs_.size())) pairs_[index].frozen = true;
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
        a.sin_port = htons(target_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void Accept() {
        int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        int broker = mode_ == kForward ? ConnectTarget() : -1;
        std::lock_guard<std::mutex> hold(lock_);
        pairs_.push_back({client, broker, mode_ == kSilent});
        ++accepted_;
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
        while (!stop_) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}};
            std::vector<std::pair<size_t, bool>> owners{{0, false}};  // pair, from the client side
            {
                std::lock_guard<std::mutex> hold(lock_);
                for (size_t i = 0; i < pairs_.size(); ++i) {
                    if (pairs_[i].frozen || pairs_[i].broker < 0) continue;
                    fds.push_back({pairs_[i].client, POLLIN, 0});
                    owners.push_back({i, true});
                    fds.push_back({pairs_[i].broker, POLLIN, 0});
                    owners.push_back({i, false});
                }
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents) Accept();
            std::lock_guard<std::mutex> hold(lock_);
            for (size_t k = 1; k < fds.size(); ++k) {
                Pair& p = pairs_[owners[k].first];
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

    const int target_;
    const Mode mode_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::mutex lock_;
    std::vector<Pair> pairs_;
    std::thread thread_;
};

#endif
