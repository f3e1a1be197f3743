// Frames: a head of three 32-bit numbers in host order (a mark, the call's number, the
// payload's length), then the payload. A payload is a run of fields, each text as a 32-bit
// length and its bytes, so any byte (NUL included) travels as it is. The mark makes bytes
// that a plug-in slips onto the socket fail the next head instead of shifting the stream.
#include "core/worker_wire.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kMark = 0x57564c54;  // "TLVW" in little-endian bytes
const size_t kHeadSize = 3 * sizeof(uint32_t);
// A payload grows by at most this much before its bytes are there.
const size_t kReadStep = 64 * 1024;
// How often a wait looks whether its peer still runs.
const int kWatchMs = 1000;

void PutNumber(std::string& out, uint32_t n) {
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
}

void PutText(std::string& out, const std::string& text) {
    PutNumber(out, static_cast<uint32_t>(text.size()));
    out += text;
}

// Reads fields off the front of a payload; every getter fails once the payload runs short.
class Fields {
public:
    explicit Fields(const std::string& payload) : _payload(payload) {}

    bool Number(uint32_t* n) {
        if (_payload.size() - _at < sizeof *n) return false;
        memcpy(n, _payload.data() + _at, sizeof *n);
        _at += sizeof *n;
        return true;
    }

    bool Text(std::string* text) {
        uint32_t n = 0;
        if (!Number(&n) || _payload.size() - _at < n) return false;
        text->assign(_payload, _at, n);
        _at += n;
        return true;
    }

    bool AtEnd() const { return _at == _payload.size(); }

private:
    const std::string& _payload;
    size_t _at = 0;
};

// True once the child `peer` has ended (it is not reaped here); false for no peer.
bool Ended(pid_t peer) {
    if (peer <= 0) return false;
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_PID, static_cast<id_t>(peer), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno != EINTR;
    return info.si_pid == peer;
}

// Waits until `fd` is readable: kTimedOut past `deadline`, kClosed once the peer ended
// (kRead at once on a poll failure: the read reports it).
FrameRead AwaitData(int fd, pid_t peer, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return FrameRead::kTimedOut;
        const int waitMs = static_cast<int>(std::min<long long>(left.count() + 1, kWatchMs));
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return FrameRead::kRead;
        if (ready == 0 && Ended(peer)) return FrameRead::kClosed;
    }
}

// Reads exactly `size` bytes into `buf`.
FrameRead ReadExactly(int fd, char* buf, size_t size, const FrameWait& wait,
                      Clock::time_point deadline) {
    for (size_t got = 0; got < size;) {
        // Without a limit the read itself blocks (waking every second on the daemon's end).
        if (wait.timeoutMs >= 0) {
            const FrameRead ready = AwaitData(fd, wait.peer, deadline);
            if (ready != FrameRead::kRead) return ready;
        }
        const ssize_t n = recv(fd, buf + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return FrameRead::kClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FrameRead::kClosed;
        // A child of the peer may hold its end open after the peer died.
        if (Ended(wait.peer)) return FrameRead::kClosed;
    }
    return FrameRead::kRead;
}

}  // namespace

size_t OutputLimit(size_t incoming) {
    return std::min<size_t>(incoming + kOutputGrowth, UINT32_MAX - 2 * sizeof(uint32_t));
}

size_t AnswerPayloadLimit(size_t incoming) {
    return 2 * sizeof(uint32_t) + OutputLimit(incoming);
}

std::string EncodeCall(const PluginCall& call) {
    std::string out;
    PutText(out, call.soName);
    PutText(out, call.func);
    PutText(out, call.encodeParam);
    PutText(out, call.strOut);
    PutNumber(out, call.cache ? 1 : 0);
    PutNumber(out, static_cast<uint32_t>(call.dictParam.size()));
    for (const auto& kv : call.dictParam) {
        PutText(out, kv.first);
        PutText(out, kv.second);
    }
    return out;
}

bool DecodeCall(const std::string& payload, PluginCall* call) {
    Fields f(payload);
    uint32_t cache = 0, entries = 0;
    if (!f.Text(&call->soName) || !f.Text(&call->func) || !f.Text(&call->encodeParam) ||
        !f.Text(&call->strOut) || !f.Number(&cache) || !f.Number(&entries)) {
        return false;
    }
    call->cache = cache != 0;
    call->dictParam.clear();
    for (uint32_t i = 0; i < entries; ++i) {
        std::string key, value;
        if (!f.Text(&key) || !f.Text(&value)) return false;
        call->dictParam.emplace(std::move(key), std::move(value));
    }
    return f.AtEnd();
}

std::string EncodeAnswer(CallEnd end, const std::string& strOut) {
    std::string out;
    PutNumber(out, static_cast<uint32_t>(end));
    PutText(out, strOut);
    return out;
}

bool DecodeAnswer(const std::string& payload, CallEnd* end, std::string* strOut) {
    Fields f(payload);
    uint32_t n = 0;
    // A worker answers for its own call only: it cannot die or time out.
    if (!f.Number(&n) || n > static_cast<uint32_t>(CallEnd::kThrew)) return false;
    *end = static_cast<CallEnd>(n);
    return f.Text(strOut) && f.AtEnd();
}

bool WakeEverySecond(int fd) {
    const struct timeval second = {kWatchMs / 1000, 0};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second) == 0;
}

bool WriteFrame(int fd, uint32_t number, const std::string& payload, pid_t peer) {
    std::string out;
    out.reserve(kHeadSize + payload.size());
    PutNumber(out, kMark);
    PutNumber(out, number);
    PutNumber(out, static_cast<uint32_t>(payload.size()));
    out += payload;
    for (size_t sent = 0; sent < out.size();) {
        const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !Ended(peer)) continue;
        return false;
    }
    return true;
}

FrameRead ReadFrame(int fd, const FrameWait& wait, Frame* frame) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait.timeoutMs);
    char head[kHeadSize];
    FrameRead r = ReadExactly(fd, head, sizeof head, wait, deadline);
    if (r != FrameRead::kRead) return r;
    uint32_t mark = 0, size = 0;
    memcpy(&mark, head, sizeof mark);
    memcpy(&frame->number, head + sizeof mark, sizeof frame->number);
    memcpy(&size, head + 2 * sizeof mark, sizeof size);
    if (mark != kMark || size > wait.maxPayload) return FrameRead::kMalformed;
    // Grown step by step: a length alone costs no memory.
    std::string& payload = frame->payload;
    payload.clear();
    for (size_t got = 0; got < size && r == FrameRead::kRead;) {
        const size_t step = std::min<size_t>(size - got, kReadStep);
        payload.resize(got + step);
        r = ReadExactly(fd, &payload[got], step, wait, deadline);
        got += step;
    }
    return r;
}
