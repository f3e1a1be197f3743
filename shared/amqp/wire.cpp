// The request and reply layout; see wire.h.
#include "amqp/wire.h"

#include <stdint.h>
#include <string.h>

namespace {

const uint8_t kPersistent = 2;

// Copies `src` up to its first NUL into the field `dst` of `dstSize` bytes, cut to
// dstSize - 1 characters; the rest of the field is zero.
void CopyText(char* dst, size_t dstSize, const std::string& src) {
    size_t n = strnlen(src.c_str(), src.size());
    if (n > dstSize - 1) n = dstSize - 1;
    memset(dst, 0, dstSize);
    memcpy(dst, src.data(), n);  // NOLINT(bugprone-not-null-terminated-result): zeroed above
}

// The bytes of `s`, NULs and all: a property or header is a length and bytes, and a requester's
// correlation id need not be text.
amqp_bytes_t BytesOf(const std::string& s) {
    amqp_bytes_t b;
    b.len = s.size();
    b.bytes = const_cast<char*>(s.data());
    return b;
}

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// The record at the start of a body of `len` bytes: as far as the body goes, the rest zero.
template <class Record>
Record ReadPrefix(const void* body, size_t len) {
    Record record;
    memset(&record, 0, sizeof record);
    if (body) memcpy(&record, body, len < sizeof record ? len : sizeof record);
    return record;
}

}  // namespace

T_MSG_HEAD DecodeHead(const void* body, size_t len) {
    T_MSG_HEAD head = ReadPrefix<T_MSG_HEAD>(body, len);
    head.guid[sizeof head.guid - 1] = '\0';
    head.platform[sizeof head.platform - 1] = '\0';
    return head;
}

bool LengthMatches(const T_MSG_HEAD& head, size_t len) {
    const int64_t expected =
        int64_t(sizeof head) + int64_t(head.count) * int64_t(sizeof(T_MSG_SEND));
    return expected >= 0 && uint64_t(len) == uint64_t(expected);
}

T_MSG_SEND RecordAt(const void* body, int index) {
    T_MSG_SEND record;
    memcpy(&record,
           static_cast<const char*>(body) + sizeof(T_MSG_HEAD) + size_t(index) * sizeof record,
           sizeof record);
    return record;
}

std::string ParamText(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += item + "\r\n";
    return text;
}

bool BuildRequest(const std::string& guid, const std::string& platform,
                  const std::vector<std::string>& paramTexts, std::string* body,
                  std::string* error) {
    MSG_HEAD head;
    memset(&head, 0, sizeof head);
    if (guid.empty() || guid.size() >= sizeof head.guid) {
        *error = "the guid must be 1 to 49 characters";
        return false;
    }
    if (platform.empty() || platform.size() >= sizeof head.platform) {
        *error = "the platform must be 1 to 49 characters";
        return false;
    }
    memcpy(head.guid, guid.data(), guid.size());
    memcpy(head.platform, platform.data(), platform.size());
    head.count = static_cast<int32_t>(paramTexts.size());
    body->assign(reinterpret_cast<const char*>(&head), sizeof head);

    for (const std::string& text : paramTexts) {
        MSG_SEND record;
        memset(&record, 0, sizeof record);
        if (text.size() >= sizeof record.szParam) {
            *error = "a call record's parameters exceed 3999 bytes";
            return false;
        }
        memcpy(record.szParam, text.data(), text.size());
        body->append(reinterpret_cast<const char*>(&record), sizeof record);
    }
    return true;
}

T_RESULT EncodeResult(const std::string& guid, const std::string& text) {
    T_RESULT result;
    CopyText(result.guid, sizeof result.guid, guid);
    CopyText(result.strResult, sizeof result.strResult, text);
    return result;
}

ResultText DecodeResult(const void* body, size_t len) {
    const T_RESULT result = ReadPrefix<T_RESULT>(body, len);
    return {FieldText(result.guid, sizeof result.guid),
            FieldText(result.strResult, sizeof result.strResult)};
}

ReplyProperties::ReplyProperties(const ReplyExtras& extras) : _props() {
    _props._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    _props.content_type = amqp_cstring_bytes("text/plain");
    _props.delivery_mode = kPersistent;
    if (!extras.correlation_id.empty()) {
        _props._flags |= AMQP_BASIC_CORRELATION_ID_FLAG;
        _props.correlation_id = BytesOf(extras.correlation_id);
    }
    if (!extras.expiration.empty()) {
        _props._flags |= AMQP_BASIC_EXPIRATION_FLAG;
        _props.expiration = BytesOf(extras.expiration);
    }
    for (const auto& header : extras.headers) {
        amqp_table_entry_t entry;
        entry.key = BytesOf(header.first);
        entry.value.kind = AMQP_FIELD_KIND_UTF8;
        entry.value.value.bytes = BytesOf(header.second);
        _headers.push_back(entry);
    }
    if (!_headers.empty()) {
        _props._flags |= AMQP_BASIC_HEADERS_FLAG;
        _props.headers.num_entries = static_cast<int>(_headers.size());
        _props.headers.entries = _headers.data();
    }
}
