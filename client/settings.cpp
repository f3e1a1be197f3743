// The one reader of the service's settings file, driven by one table of its keys.
#include "client/settings.h"

#include <limits.h>
#include <stdlib.h>

#include "tarrin/config.h"

namespace {

// A whole decimal number as strtoll sees it (blanks and a sign before it allowed); a number
// too large for long long comes back as its limit, which every range below rejects.
bool WholeNumber(const std::string& text, long long* value) {
    char* end = nullptr;
    *value = strtoll(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0';
}

std::string Range(long long lo, long long hi) {
    return "out of range " + std::to_string(lo) + ".." + std::to_string(hi);
}

class Reader {
public:
    Reader(const std::string& file, std::vector<SettingNote>* notes) : _notes(notes) {
        _config.LoadConfigFile(file);
    }

    void Text(const char* key, std::string& value) { value = _config.GetValue(key, value); }

    // A two-way key: `value` is true exactly when the text is `on` (default as it stands).
    void Flag(const char* key, const char* on, const char* off, bool& value) {
        value = _config.GetValue(key, value ? on : off) == on;
    }

    // A key the consumer's login takes as atoi gives it, whatever it holds; a text that is
    // not a number within [lo, hi] is only noted.
    void Atoi(const char* key, int& value, long long lo, long long hi) {
        const std::string text = _config.GetValue(key, "");
        if (text.empty()) return;
        value = atoi(text.c_str());
        long long n = 0;
        if (!WholeNumber(text, &n)) {
            Note(key, text, value, "not a number");
        } else if (n < lo || n > hi) {
            Note(key, text, value, Range(lo, hi));
        }
    }

    // One of the daemon's own numbers: a text that is not a number keeps the default, one
    // below `lo` becomes `below`, one above `hi` becomes `hi`.
    void Number(const char* key, int& value, int lo, int hi, int below) {
        const std::string text = _config.GetValue(key, "");
        if (text.empty()) return;
        long long n = 0;
        if (!WholeNumber(text, &n)) {
            Note(key, text, value, "not a number");
        } else if (n < lo || n > hi) {
            value = n < lo ? below : hi;
            Note(key, text, value, Range(lo, hi));
        } else {
            value = static_cast<int>(n);
        }
    }

private:
    void Note(const char* key, const std::string& text, int used, const std::string& why) {
        if (_notes) _notes->push_back({key, text, used, why});
    }

    Config _config;
    std::vector<SettingNote>* _notes;
};

const int kMaxSeconds = 86400;  // a day: no wait or interval of the daemon needs more

// How the reader takes a key's text; whatever the check, an absent or empty key keeps its
// default.
enum class Check {
    kText,    // as written
    kFlag,    // on exactly when it holds the `on` text, off for any other
    kAtoi,    // atoi's value, whatever it holds; a text that is not a number in [lo, hi] is noted
    kNumber,  // a whole number in [lo, hi]; else noted, and a text keeps the default, a
              // number above becomes `hi`, one below the fallback
};

// The fallback of a number below its range.
enum class Below { kLowest, kDefault };

using TextField = std::string& (*)(Settings&);
using FlagField = bool& (*)(Settings&);
using NumberField = int& (*)(Settings&);

// One row of the table. The default is the field's initial value in Settings (BrokerSettings
// for the broker's keys, whose defaults tolvane-call and the benchmark share), so it is
// written once.
struct Key {
    const char* name;
    SettingRead read;
    Check check;
    TextField text = nullptr;
    FlagField flag = nullptr;
    NumberField number = nullptr;
    const char* on = nullptr;
    const char* off = nullptr;
    long long lo = 0;
    long long hi = 0;
    Below below = Below::kLowest;
    int (*top)(const Settings&) = nullptr;  // a range that ends where a key read before says
};

constexpr Key Text(const char* name, SettingRead read, TextField field) {
    Key k{name, read, Check::kText};
    k.text = field;
    return k;
}

constexpr Key Flag(const char* name, SettingRead read, FlagField field, const char* on,
                   const char* off) {
    Key k{name, read, Check::kFlag};
    k.flag = field;
    k.on = on;
    k.off = off;
    return k;
}

constexpr Key Atoi(const char* name, SettingRead read, NumberField field, long long lo,
                   long long hi) {
    Key k{name, read, Check::kAtoi};
    k.number = field;
    k.lo = lo;
    k.hi = hi;
    return k;
}

constexpr Key Number(const char* name, SettingRead read, NumberField field, int lo, int hi,
                     Below below = Below::kLowest) {
    Key k = Atoi(name, read, field, lo, hi);
    k.check = Check::kNumber;
    k.below = below;
    return k;
}

constexpr Key EndingAt(Key k, int (*top)(const Settings&)) {
    k.top = top;
    return k;
}

// clang-format off
#define FIELD(member) [](Settings& s) -> auto& { return s.member; }  // NOLINT(bugprone-macro-parentheses): a member name
// clang-format on

constexpr SettingRead kStart = SettingRead::kStart;
constexpr SettingRead kEachMessage = SettingRead::kEachMessage;
constexpr SettingRead kEachReply = SettingRead::kEachReply;
constexpr SettingRead kStartAndEachReply = SettingRead::kStartAndEachReply;

// Every key of mq.conf, in the order the reader takes them.
constexpr Key kKeys[] = {
    Text("server", kStartAndEachReply, FIELD(broker.server)),
    Text("queue", kStart, FIELD(queue)),
    Text("userName", kStartAndEachReply, FIELD(broker.userName)),
    Text("pwd", kStartAndEachReply, FIELD(broker.pwd)),
    Text("vhost", kStartAndEachReply, FIELD(broker.vhost)),
    Atoi("port", kStartAndEachReply, FIELD(broker.port), 1, 65535),
    // 4096: AMQP's smallest frame.
    Atoi("frame_max", kStartAndEachReply, FIELD(broker.frame_max), 4096, INT_MAX),
    Text("lookup_host", kStart, FIELD(lookup_host)),
    Number("workers", kStart, FIELD(workers), 1, kMaxWorkers, Below::kDefault),
    // The prefetch window intake_limit + workers must fit basic.qos's 16 bits.
    EndingAt(Number("intake_limit", kStart, FIELD(intake_limit), 0, kMaxWindow),
             [](const Settings& s) { return kMaxWindow - s.workers; }),
    Flag("ack_mode", kStart, FIELD(ack_after_reply), "after_reply", "on_take"),
    Flag("reply_connection", kEachReply, FIELD(reply_per_worker), "per_worker", "per_reply"),
    Flag("reply_commit", kEachReply, FIELD(reply_confirm), "confirm", "tx"),
    Flag("plugin_cache", kEachMessage, FIELD(plugin_cache), "yes", "no"),
    Number("stop_timeout", kStart, FIELD(stop_timeout), 0, kMaxSeconds),
    Number("heartbeat", kStartAndEachReply, FIELD(heartbeat), 0, 3600),
    Number("reconnect_pause", kStart, FIELD(reconnect_pause), 1, 3600),
    Number("stats_interval", kStart, FIELD(stats_interval), 0, kMaxSeconds),
    Flag("log_params", kEachMessage, FIELD(log_params), "yes", "no"),
    Flag("reply_to", kEachMessage, FIELD(reply_to), "honour", "ignore"),
};

#undef FIELD

void ReadKey(Reader& r, const Key& k, Settings& s) {
    switch (k.check) {
    case Check::kText:
        return r.Text(k.name, k.text(s));
    case Check::kFlag:
        return r.Flag(k.name, k.on, k.off, k.flag(s));
    case Check::kAtoi:
        return r.Atoi(k.name, k.number(s), k.lo, k.hi);
    case Check::kNumber: {
        int& value = k.number(s);
        const int hi = k.top ? k.top(s) : static_cast<int>(k.hi);
        const int lo = static_cast<int>(k.lo);
        return r.Number(k.name, value, lo, hi, k.below == Below::kDefault ? value : lo);
    }
    }
}

std::string DefaultText(const Key& k) {
    Settings s;
    switch (k.check) {
    case Check::kText:
        return k.text(s);
    case Check::kFlag:
        return k.flag(s) ? k.on : k.off;
    case Check::kAtoi:
    case Check::kNumber:
        break;
    }
    return std::to_string(k.number(s));
}

}  // namespace

Settings ReadSettings(const std::string& file, std::vector<SettingNote>* notes) {
    Reader r(file, notes);
    Settings s;
    for (const Key& k : kKeys) ReadKey(r, k, s);
    return s;
}

const char* SettingReadText(SettingRead read) {
    switch (read) {
    case SettingRead::kStart:
        return "start";
    case SettingRead::kEachMessage:
        return "each message";
    case SettingRead::kEachReply:
        return "each reply";
    case SettingRead::kStartAndEachReply:
        break;
    }
    return "start, each reply";
}

std::vector<SettingKey> SettingKeys() {
    std::vector<SettingKey> keys;
    for (const Key& k : kKeys) keys.push_back({k.name, DefaultText(k), k.read});
    return keys;
}
