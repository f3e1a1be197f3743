// The pipelined reply path. Workers queue replies; one thread publishes them on its own
// connection (never the consumer's: the broker throttles a publishing connection, and that
// must not hold the intake or its acknowledgements) and reads the confirms as they come.
//
// A publish to a missing exchange closes the channel: that reply is refused, and the ones
// published after it on that channel (the broker dropped them) go out again on a new one. A
// connection lost with replies unconfirmed: under ack_mode=after_reply they are lost (their
// requests go back to the broker, never acknowledged without a confirmed reply); under on_take
// they go out again on the next connection, so such a reply may arrive twice.
//
// Under a resource alarm the broker blocks the connection (connection.blocked) and reads
// nothing more from it: the thread then publishes nothing, keeps what is handed over (a full
// window holds the workers) and waits for connection.unblocked, without taking the silence
// for a lost connection.
#include "client/reply_pipelined.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "amqp/connection.h"
#include "client/MQService.h"
#include "core/log.h"
#include "core/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

// Unconfirmed replies with no answer for this long: the connection is taken as gone.
const std::chrono::seconds kConfirmWait(10);
const int kIdlePollMs = 1000;

// A copy of the broker settings shared by the replies handed over under the same ones: a
// copy per reply costs more than the rest of its hand-over.
std::shared_ptr<const BrokerSettings> BrokerOf(const Settings& s) {
    thread_local std::shared_ptr<const BrokerSettings> last;
    if (!last || !(*last == s.broker)) last = std::make_shared<const BrokerSettings>(s.broker);
    return last;
}

struct Item {
    std::shared_ptr<const BrokerSettings> broker;
    bool ack_after_reply;
    Reply reply;
    ReplyDone done;
    bool again = false;  // published once on a connection that was lost
};

class Pipeline {
public:
    Pipeline() : _fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        // Lives as long as the process: replies may be handed over until its end.
        std::thread([this] { Run(); }).detach();
    }

    void Add(const Settings& s, Reply reply, const ReplyDone& done) {
        Item item{BrokerOf(s), s.ack_after_reply, std::move(reply), done};
        std::unique_lock<std::mutex> lock(_lock);
        _room.wait(lock, [this, &s] { return _outstanding < static_cast<size_t>(s.reply_window); });
        ++_outstanding;
        // The thread takes the whole queue after reading the counter: only the first reply
        // into an empty queue needs to wake it.
        const bool wake = _queued.empty();
        _queued.push_back(std::move(item));
        lock.unlock();
        if (!wake) return;
        uint64_t one = 1;
        ssize_t n = write(_fd, &one, sizeof one);
        (void)n;  // fails only when the counter is far past zero: the thread wakes anyway
    }

    size_t Outstanding() {
        std::lock_guard<std::mutex> hold(_lock);
        return _outstanding;
    }

private:
    void Run();
    void Wait();
    void TakeQueued();
    void PublishAll();
    bool Publish(Item& item);
    void Confirmed(const CPublisher::Answer& a);
    void ChannelClosed();
    void ConnectionLost();
    void Tell(Item& item, const Sending& out);
    void Refuse(Item& item, const std::string& why);
    void Flow(CPublisher::Flow flow);
    void SetBlocked(bool blocked);

    std::mutex _lock;
    std::condition_variable _room;
    std::deque<Item> _queued;  // handed over; shared with the workers
    size_t _outstanding = 0;   // handed over and not told
    int _fd;

    // The thread's own.
    std::deque<Item> _toSend;
    std::map<uint64_t, Item> _unconfirmed;  // by publish number on the channel
    std::unique_ptr<CPublisher> _publisher;
    BrokerSettings _opened;
    Clock::time_point _progress;
    bool _wasOpen = false;  // the connection of the publish under way was open before it
    bool _blocked = false;  // the broker said connection.blocked and not yet unblocked
};

void Pipeline::Tell(Item& item, const Sending& out) {
    ++(out.sent ? Stats().replies_sent : Stats().replies_failed);
    item.done(item.reply, out);
    {
        std::lock_guard<std::mutex> hold(_lock);
        --_outstanding;
    }
    _room.notify_all();
}

void Pipeline::Refuse(Item& item, const std::string& why) {
    Sending out;
    out.refused = true;
    out.why = why;
    Tell(item, out);
}

void Pipeline::TakeQueued() {
    uint64_t count;
    ssize_t n = read(_fd, &count, sizeof count);
    (void)n;  // nothing pending is no failure
    std::lock_guard<std::mutex> hold(_lock);
    for (Item& item : _queued) _toSend.push_back(std::move(item));
    _queued.clear();
}

bool Pipeline::Publish(Item& item) {
    const BrokerSettings& b = *item.broker;
    if (_publisher && !(_opened == b)) {
        if (!_unconfirmed.empty()) return false;  // the old connection's confirms first
        _publisher.reset();
    }
    if (!_publisher) {
        _publisher.reset(new CPublisher(b.server.c_str(), b.userName.c_str(), b.pwd.c_str(),
                                        b.vhost.c_str(), b.port, b.frame_max));
        _publisher->SetConfirm(true);
        _publisher->SetTls(b.tls);
        _opened = b;
    }
    const T_RESULT& r = item.reply.result;
    uint64_t seq = 0;
    _wasOpen = _publisher->SocketFd() >= 0;
    if (_publisher->Send(item.reply.exchange.c_str(), item.reply.key.c_str(),
                         reinterpret_cast<const char*>(&r), sizeof r, item.reply.extras, &seq)) {
        if (_unconfirmed.empty()) _progress = Clock::now();
        _unconfirmed.emplace(seq, std::move(item));
        return true;
    }
    if (!_publisher->HostFailures().empty() && AmqpHosts(b.server, b.port).size() > 1) {
        LOG(_publisher->HostFailures().c_str());
    }
    Sending out;
    out.refused = _publisher->Refused();
    out.why = _publisher->Detail();
    // Those published before on the lost connection are dealt with as it is.
    ConnectionLost();
    // A kept connection the broker closed while it idled fails only at the next publish: under
    // on_take that reply goes out once more on a new one (under after_reply its request does).
    if (_wasOpen && !item.again && !item.ack_after_reply) {
        item.again = true;
        _toSend.push_front(std::move(item));
        return true;
    }
    Tell(item, out);
    return true;
}

void Pipeline::PublishAll() {
    while (!_blocked && !_toSend.empty()) {
        Item item = std::move(_toSend.front());
        _toSend.pop_front();
        if (!Publish(item)) {
            _toSend.push_front(std::move(item));
            return;
        }
    }
}

void Pipeline::Confirmed(const CPublisher::Answer& a) {
    auto end = a.multiple ? _unconfirmed.upper_bound(a.tag) : _unconfirmed.find(a.tag);
    auto begin = a.multiple ? _unconfirmed.begin() : end;
    if (!a.multiple) {
        if (end == _unconfirmed.end()) return;
        ++end;
    }
    for (auto it = begin; it != end; ++it) {
        Sending out;
        out.sent = !a.nacked;
        if (a.nacked) out.why = "the broker did not take the reply (basic.nack)";
        Tell(it->second, out);
    }
    _unconfirmed.erase(begin, end);
    _progress = Clock::now();
}

// The broker closed the channel over one publish (a missing exchange): the first unconfirmed
// one to the exchange it names, or the oldest. The others were dropped with the channel, or
// lost their confirms with it: they go out again on the new channel.
void Pipeline::ChannelClosed() {
    const std::string why = _publisher->Detail();
    auto failing = _unconfirmed.begin();
    for (auto it = _unconfirmed.begin(); it != _unconfirmed.end(); ++it) {
        if (why.find("'" + it->second.reply.exchange + "'") != std::string::npos) {
            failing = it;
            break;
        }
    }
    if (failing == _unconfirmed.end()) return;
    Item refused = std::move(failing->second);
    _unconfirmed.erase(failing);
    for (auto it = _unconfirmed.rbegin(); it != _unconfirmed.rend(); ++it) {
        _toSend.push_front(std::move(it->second));
    }
    _unconfirmed.clear();
    Refuse(refused, why);
}

void Pipeline::ConnectionLost() {
    const std::string why = _publisher ? _publisher->Detail() : "the connection was lost";
    _publisher.reset();
    SetBlocked(false);  // a new connection starts unblocked
    std::deque<Item> again;
    for (auto& entry : _unconfirmed) {
        Item& item = entry.second;
        if (item.ack_after_reply || item.again) {
            Sending out;
            out.why = why.empty() ? "the connection was lost before the confirm" : why;
            Tell(item, out);
        } else {
            item.again = true;
            again.push_back(std::move(item));
        }
    }
    _unconfirmed.clear();
    _toSend.insert(_toSend.begin(), std::make_move_iterator(again.begin()),
                   std::make_move_iterator(again.end()));
}

void Pipeline::SetBlocked(bool blocked) {
    _blocked = blocked;
    Stats().reply_blocked = blocked;
}

// The broker sends each once per change; logged on a change only all the same.
void Pipeline::Flow(CPublisher::Flow flow) {
    if (flow == CPublisher::Flow::kBlocked && !_blocked) {
        LOG("the broker blocked the reply connection (connection.blocked)");
        SetBlocked(true);
    } else if (flow == CPublisher::Flow::kUnblocked && _blocked) {
        LOG("the broker unblocked the reply connection (connection.unblocked)");
        SetBlocked(false);
        _progress = Clock::now();  // the wait for confirms starts again
    }
}

// Until a reply is handed over or an answer comes; while blocked, until the unblock.
void Pipeline::Wait() {
    // Left over after a closed channel: published at once, unless the broker blocks them.
    if (!_blocked && !_toSend.empty() && _unconfirmed.empty()) return;
    const bool listen = _publisher && (!_unconfirmed.empty() || _blocked);
    const int socket = listen ? _publisher->SocketFd() : -1;
    if (socket >= 0 && _publisher->HasBuffered()) return;
    struct pollfd pfd[2] = {{_fd, POLLIN, 0}, {socket, POLLIN, 0}};
    poll(pfd, socket >= 0 ? 2 : 1, kIdlePollMs);
}

void Pipeline::Run() {
    for (;;) {
        Wait();
        TakeQueued();
        PublishAll();
        if (!_publisher || (_unconfirmed.empty() && !_blocked)) continue;
        std::vector<CPublisher::Answer> answers;
        const CPublisher::Read read = _publisher->ReadAnswers(timeval{0, 0}, &answers);
        for (const CPublisher::Answer& a : answers) Confirmed(a);
        Flow(_publisher->LastFlow());
        // A blocked connection is silent by the broker's choice: no confirm is overdue.
        const bool overdue =
            !_blocked && !_unconfirmed.empty() && Clock::now() - _progress > kConfirmWait;
        if (read == CPublisher::Read::kChannelClosed) {
            ChannelClosed();
        } else if (read == CPublisher::Read::kBroken || overdue) {
            ConnectionLost();
        }
    }
}

Pipeline& ThePipeline() {
    // Never destroyed: its thread runs until the process ends.
    static Pipeline* pipeline = new Pipeline;
    return *pipeline;
}

std::mutex started;
bool running = false;

}  // namespace

void HandOverPipelined(const Settings& s, Reply reply, const ReplyDone& done) {
    {
        std::lock_guard<std::mutex> hold(started);
        running = true;
    }
    ThePipeline().Add(s, std::move(reply), done);
}

size_t RepliesOutstanding() {
    {
        std::lock_guard<std::mutex> hold(started);
        if (!running) return 0;
    }
    return ThePipeline().Outstanding();
}
