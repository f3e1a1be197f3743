// Frames: a 32-bit length in host order, then the payload. A payload is a run of fields, each
// text as a 32-bit length and its bytes, so any byte (NUL included) travels as it is.
#include "core/worker_wire.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>

namespace {

// Far above any call (a 4000-byte parameter text, outputs of a few KiB); a longer length is
// taken for a broken peer.
const uint32_t kMaxFrame = 64u << 20;

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
    explicit Fields(const std::string& frame) : _frame(frame) {}

    bool Number(uint32_t* n) {
        if (_frame.size() - _at < sizeof *n) return false;
        memcpy(n, _frame.data() + _at, sizeof *n);
        _at += sizeof *n;
        return true;
    }

    bool Text(std::string* text) {
        uint32_t n = 0;
        if (!Number(&n) || _frame.size() - _at < n) return false;
        text->assign(_frame, _at, n);
        _at += n;
        return true;
    }

    bool AtEnd() const { return _at == _frame.size(); }

private:
    const std::string& _frame;
    size_t _at = 0;
};

// Waits until `fd` is readable; false past `deadline` (true at once on a poll failure: the
// read reports it).
bool Readable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const int waitMs = static_cast<int>(left.count()) + 1;
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;
    }
}

// Reads exactly `size` bytes into `buf`.
FrameRead ReadExactly(int fd, char* buf, size_t size, int timeoutMs,
                      std::chrono::steady_clock::time_point deadline) {
    for (size_t got = 0; got < size;) {
        // Without a limit the read itself blocks: no poll before it.
        if (timeoutMs >= 0 && !Readable(fd, deadline)) return FrameRead::kTimedOut;
        const ssize_t n = recv(fd, buf + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FrameRead::kClosed;
        got += static_cast<size_t>(n);
    }
    return FrameRead::kRead;
}

}  // namespace

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

bool DecodeCall(const std::string& frame, PluginCall* call) {
    Fields f(frame);
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

bool DecodeAnswer(const std::string& frame, CallEnd* end, std::string* strOut) {
    Fields f(frame);
    uint32_t n = 0;
    // A worker answers for its own call only: it cannot die or time out.
    if (!f.Number(&n) || n > static_cast<uint32_t>(CallEnd::kThrew)) return false;
    *end = static_cast<CallEnd>(n);
    return f.Text(strOut) && f.AtEnd();
}

bool WriteFrame(int fd, const std::string& frame) {
    std::string out;
    out.reserve(sizeof(uint32_t) + frame.size());
    PutNumber(out, static_cast<uint32_t>(frame.size()));
    out += frame;
    for (size_t sent = 0; sent < out.size();) {
        const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

FrameRead ReadFrame(int fd, int timeoutMs, std::string* frame) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t size = 0;
    FrameRead r = ReadExactly(fd, reinterpret_cast<char*>(&size), sizeof size, timeoutMs, deadline);
    if (r != FrameRead::kRead) return r;
    if (size > kMaxFrame) return FrameRead::kClosed;
    frame->resize(size);
    return size == 0 ? r : ReadExactly(fd, &(*frame)[0], size, timeoutMs, deadline);
}
