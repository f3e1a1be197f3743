#include "client/request.h"

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
    if (props._flags & AMQP_BASIC_HEADERS_FLAG) ReadHeaders(props.headers, &r.headers);
    r.trace = TraceOf(r.headers);
    return r;
}
