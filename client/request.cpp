#include "client/request.h"

#include <math.h>
#include <stdlib.h>

#include <algorithm>
#include <string_view>

#include "amqp/connection.h"
#include "amqp/wire.h"

namespace {

void ReadHeaders(const amqp_table_t& table, std::map<std::string, std::string>* headers) {
    for (int i = 0; i < table.num_entries; ++i) {
        const amqp_table_entry_t& e = table.entries[i];
        if (e.value.kind == AMQP_FIELD_KIND_UTF8 || e.value.kind == AMQP_FIELD_KIND_BYTES) {
            (*headers)[AmqpText(e.key)] = AmqpText(e.value.value.bytes);
        }
    }
}

// A text of decimal digits alone.
int64_t DeadlineText(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
        return 0;
    }
    return strtoll(text.c_str(), nullptr, 10);
}

// Requesters send it as whatever integer their library picks (amqplib and pika: a signed
// 64- or 32-bit field), or as a text or a double; anything else is no deadline, never an error.
int64_t DeadlineValue(const amqp_field_value_t& v) {
    switch (v.kind) {
    case AMQP_FIELD_KIND_I8:
        return v.value.i8;
    case AMQP_FIELD_KIND_U8:
        return v.value.u8;
    case AMQP_FIELD_KIND_I16:
        return v.value.i16;
    case AMQP_FIELD_KIND_U16:
        return v.value.u16;
    case AMQP_FIELD_KIND_I32:
        return v.value.i32;
    case AMQP_FIELD_KIND_U32:
        return v.value.u32;
    case AMQP_FIELD_KIND_I64:
        return v.value.i64;
    case AMQP_FIELD_KIND_U64:
        return v.value.u64 > INT64_MAX ? 0 : static_cast<int64_t>(v.value.u64);
    case AMQP_FIELD_KIND_F64:
        return isfinite(v.value.f64) && v.value.f64 >= 1 && v.value.f64 < 9e18
                   ? static_cast<int64_t>(v.value.f64)
                   : 0;
    case AMQP_FIELD_KIND_UTF8:
    case AMQP_FIELD_KIND_BYTES:
        return DeadlineText(AmqpText(v.value.bytes));
    default:
        return 0;
    }
}

int64_t DeadlineOf(const amqp_table_t& table) {
    for (int i = 0; i < table.num_entries; ++i) {
        if (AmqpText(table.entries[i].key) == "deadline") {
            return std::max<int64_t>(0, DeadlineValue(table.entries[i].value));
        }
    }
    return 0;
}

}  // namespace

Request ParseRequest(const amqp_envelope_t& env) {
    Request r;
    const amqp_bytes_t& body = env.message.body;
    r.body = static_cast<const char*>(body.bytes);
    r.length = r.body ? body.len : 0;
    r.redelivered = env.redelivered != 0;
    r.routing_key = std::string_view(static_cast<const char*>(env.routing_key.bytes),
                                     env.routing_key.bytes ? env.routing_key.len : 0);
    if (r.length > 0) {
        r.head = DecodeHead(r.body, r.length);
        r.framed = LengthMatches(r.head, r.length);
    }
    if (r.length >= sizeof(T_MSG_HEAD)) {
        const size_t h = std::hash<std::string_view>()(std::string_view(r.body, r.length));
        r.key = h == 0 ? 1 : h;
    }
    const amqp_basic_properties_t& props = env.message.properties;
    if (props._flags & AMQP_BASIC_REPLY_TO_FLAG) {
        r.has_reply_to = true;
        r.reply_to = AmqpText(props.reply_to);
        if (props._flags & AMQP_BASIC_CORRELATION_ID_FLAG) {
            r.correlation_id = AmqpText(props.correlation_id);
        }
    }
    if (props._flags & AMQP_BASIC_HEADERS_FLAG) {
        ReadHeaders(props.headers, &r.headers);
        r.deadline_ms = DeadlineOf(props.headers);
    }
    r.trace = TraceOf(r.headers);
    return r;
}
