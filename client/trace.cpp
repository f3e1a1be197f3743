#include "client/trace.h"

#include <stdint.h>
#include <stdio.h>

#include <random>
#include <vector>

namespace {

bool IsLowerHex(const std::string& s, size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i) {
        const char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool AllZero(const std::string& s, size_t from, size_t n) {
    return s.find_first_not_of('0', from) >= from + n;
}

// An engine seeded from 256 bits of the system's randomness. A 32-bit seed does for a thread,
// not for a fleet: among some hundred thousand threads started over its daemons' restarts two
// likely share one, and then every id one makes the other makes too.
std::mt19937_64 SeededEngine() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
}

std::string RandomHex(size_t digits) {
    // Seeded once per thread: ids need to be unique, not secret.
    thread_local std::mt19937_64 random = SeededEngine();
    static const char kHex[] = "0123456789abcdef";
    std::string out(digits, '0');
    uint64_t bits = 0;
    for (size_t i = 0; i < digits; ++i, bits >>= 4) {
        if (i % 16 == 0) bits = random();
        out[i] = kHex[bits & 0xf];
    }
    if (AllZero(out, 0, digits)) out[digits - 1] = '1';
    return out;
}

// W3C Trace Context's bounds on a tracestate passed on: a caller's header could otherwise make
// a reply's properties outgrow the frame they must fit, and its publish fail.
const size_t kMostStateMembers = 32;
const size_t kMostStateBytes = 512;
const size_t kLongStateMember = 128;  // dropped first when the whole is too long
const size_t kMostStateValue = 256;

bool StateKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '*' ||
           c == '/' || c == '@';
}

// "key=value": a key of its alphabet, a value of printable ASCII but ',' and '=', not ending
// in a space.
bool ValidStateMember(const std::string& m) {
    const size_t eq = m.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == m.size() || m.back() == ' ') return false;
    if (m.size() - eq - 1 > kMostStateValue) return false;
    for (size_t i = 0; i < eq; ++i) {
        if (!StateKeyChar(m[i])) return false;
    }
    for (size_t i = eq + 1; i < m.size(); ++i) {
        if (m[i] < 0x20 || m[i] > 0x7e || m[i] == ',' || m[i] == '=') return false;
    }
    return true;
}

std::string Trimmed(const std::string& s) {
    const size_t from = s.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

size_t JoinedSize(const std::vector<std::string>& members) {
    size_t n = members.empty() ? 0 : members.size() - 1;
    for (const std::string& m : members) n += m.size();
    return n;
}

// Its valid members in order, cut as Trace Context asks: members over 128 bytes go first,
// then members from the end, until 32 members of 512 bytes in all are left.
std::string BoundedTraceState(const std::string& state) {
    std::vector<std::string> members;
    for (size_t at = 0; at <= state.size();) {
        size_t comma = state.find(',', at);
        if (comma == std::string::npos) comma = state.size();
        std::string member = Trimmed(state.substr(at, comma - at));
        if (ValidStateMember(member)) members.push_back(std::move(member));
        at = comma + 1;
    }
    auto tooBig = [&members] {
        return members.size() > kMostStateMembers || JoinedSize(members) > kMostStateBytes;
    };
    if (tooBig()) {
        std::vector<std::string> shortOnes;
        for (std::string& m : members) {
            if (m.size() <= kLongStateMember) shortOnes.push_back(std::move(m));
        }
        members.swap(shortOnes);
    }
    while (tooBig()) members.pop_back();
    std::string out;
    for (const std::string& m : members) out += (out.empty() ? "" : ",") + m;
    return out;
}

}  // namespace

bool ParseTraceParent(const std::string& text, TraceParent* out) {
    // version "-" trace-id "-" parent-id "-" flags; a later version may append fields.
    if (text.size() < 55 || text[2] != '-' || text[35] != '-' || text[52] != '-') return false;
    if (!IsLowerHex(text, 0, 2) || text.compare(0, 2, "ff") == 0) return false;
    if (text.compare(0, 2, "00") == 0 ? text.size() != 55 : text.size() > 55 && text[55] != '-')
        return false;
    if (!IsLowerHex(text, 3, 32) || !IsLowerHex(text, 36, 16) || !IsLowerHex(text, 53, 2))
        return false;
    if (AllZero(text, 3, 32) || AllZero(text, 36, 16)) return false;
    out->trace_id = text.substr(3, 32);
    out->span_id = text.substr(36, 16);
    out->flags = static_cast<unsigned>(std::stoul(text.substr(53, 2), nullptr, 16));
    return true;
}

std::string FormatTraceParent(const TraceParent& p) {
    char flags[3];
    snprintf(flags, sizeof flags, "%02x", p.flags & 0xff);
    return "00-" + p.trace_id + "-" + p.span_id + "-" + flags;
}

std::string NewTraceId() {
    return RandomHex(32);
}

std::string NewSpanId() {
    return RandomHex(16);
}

RequestTrace TraceOf(const std::map<std::string, std::string>& headers) {
    RequestTrace t;
    const auto parent = headers.find("traceparent");
    if (parent != headers.end() && ParseTraceParent(parent->second, &t.parent)) {
        t.from_caller = true;
        t.trace_id = t.parent.trace_id;
        const auto state = headers.find("tracestate");
        if (state != headers.end()) t.state = BoundedTraceState(state->second);
    } else {
        t.trace_id = NewTraceId();
        t.parent.flags = 1;  // a trace of our own is sampled: its spans are sent when asked to
    }
    t.process_span_id = NewSpanId();
    t.send_span_id = NewSpanId();
    return t;
}
