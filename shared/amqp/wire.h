// The request and reply layout: a request body is a MSG_HEAD and `count` MSG_SEND records,
// a reply body one RESULT (defines.h), published with the reply properties below. The daemon,
// the request client, the benchmark and the tests read and write bodies only through here.
#ifndef TOLVANE_AMQP_WIRE_H
#define TOLVANE_AMQP_WIRE_H

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

#include "amqp/rabbit.h"
#include "defines.h"

// The head of a request body of `len` bytes. A body shorter than the head is read as far as
// it goes, the rest zero; guid and platform always end inside their field.
T_MSG_HEAD DecodeHead(const void* body, size_t len);
// Whether a body of `len` bytes is exactly the head and head.count records. Counted in 64
// bits, so neither a negative count nor one whose product wraps 32 bits can match.
bool LengthMatches(const T_MSG_HEAD& head, size_t len);
// Call record `index` of a body whose length matches its head.
T_MSG_SEND RecordAt(const void* body, int index);

// One call record's parameter text: the key=value items, each closed by CR LF.
std::string ParamText(const std::vector<std::string>& items);
// MSG_HEAD + one MSG_SEND per parameter text. False with `error` set when a text or the
// guid/platform does not fit its field.
bool BuildRequest(const std::string& guid, const std::string& platform,
                  const std::vector<std::string>& paramTexts, std::string* body,
                  std::string* error);

// The RESULT for `guid` and `text`, each taken up to its first NUL and cut to its field.
T_RESULT EncodeResult(const std::string& guid, const std::string& text);

struct ResultText {
    std::string guid;
    std::string text;
};

// The texts of a RESULT body of `len` bytes; a shorter body is read as far as it goes.
ResultText DecodeResult(const void* body, size_t len);

// What a reply carries beside its body; an empty text is left out.
struct ReplyExtras {
    std::string correlation_id;
    std::string expiration;  // milliseconds, as AMQP spells it: a text
    std::vector<std::pair<std::string, std::string>> headers;  // text values
};

// The properties of every reply: content-type "text/plain" and delivery-mode 2 (persistent),
// with `extras`. They point into `extras`, which must outlive them.
class ReplyProperties {
public:
    explicit ReplyProperties(const ReplyExtras& extras);
    ReplyProperties(const ReplyProperties&) = delete;
    ReplyProperties& operator=(const ReplyProperties&) = delete;
    const amqp_basic_properties_t* Get() const { return &_props; }

private:
    amqp_basic_properties_t _props;
    std::vector<amqp_table_entry_t> _headers;  // the table _props names
};

#endif
