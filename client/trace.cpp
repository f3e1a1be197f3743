#include "client/trace.h"

#include <stdint.h>
#include <stdio.h>

#include <random>

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

std::string RandomHex(size_t digits) {
    // Seeded once per thread: ids need to be unique, not secret.
    thread_local std::mt19937_64 random{std::random_device()()};
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
        if (state != headers.end()) t.state = state->second;
    } else {
        t.trace_id = NewTraceId();
        t.parent.flags = 1;  // a trace of our own is sampled: its spans are sent when asked to
    }
    t.process_span_id = NewSpanId();
    t.send_span_id = NewSpanId();
    return t;
}
