// The one reader of the service's settings file, driven by one table of its keys.
#include "core/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "tarrin/config.h"

namespace {

// A whole decimal number as strtoll sees it (blanks and a sign before it allowed); a number
// too large for long long comes back as its limit, which every range below rejects.
bool WholeNumber(const std::string& text, long long* value) {
    char* end = nullptr;
    *value = strtoll(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0';
}

const char kNotANumber[] = "not a number";

// Why `text` is not taken as written for the range [lo, hi]: kNotANumber, "out of range
// LO..HI", or "" when it is a whole number within it (*value).
std::string NumberProblem(const std::string& text, long long lo, long long hi, long long* value) {
    if (!WholeNumber(text, value)) return kNotANumber;
    if (*value < lo || *value > hi) {
        return "out of range " + std::to_string(lo) + ".." + std::to_string(hi);
    }
    return "";
}

// The digits atoi reads: `text` without the blanks (a CR included) after it, where atoi stops
// as it does at the line's end, so that "5672\r" of a CR LF file counts as the 5672 it gives.
std::string AtoiText(const std::string& text) {
    return text.substr(0, text.find_last_not_of(" \t\r\n\v\f") + 1);
}

// "a", "b", "c": the texts of a key of several, quoted.
std::string ChoiceTexts(const char* const* texts, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) all += (i ? ", \"" : "\"") + std::string(texts[i]) + "\"";
    return all;
}

class Reader {
public:
    Reader(const std::string& file, std::vector<SettingNote>* notes) : _notes(notes) {
        _config.LoadConfigFile(file);
    }

    void Text(const char* key, std::string& value) { value = _config.GetValue(key, value); }

    // A two-way key: `value` is true exactly when the text is `on` (default as it stands).
    // A text that is neither `on` nor `off` (a CR LF file's "yes\r", say) is off, and noted:
    // it silently turned isolation=process or after_reply off.
    void Flag(const char* key, const char* on, const char* off, bool& value) {
        const std::string text = _config.GetValue(key, value ? on : off);
        value = text == on;
        if (!value && text != off) {
            Note(key, text, 0, std::string("neither \"") + on + "\" nor \"" + off + "\"", off);
        }
    }

    // A key the consumer's login takes as atoi gives it, whatever it holds; a text that is
    // not a number within [lo, hi] is only noted.
    void Atoi(const char* key, int& value, long long lo, long long hi) {
        const std::string text = _config.GetValue(key, "");
        if (text.empty()) return;
        value = atoi(text.c_str());
        long long n = 0;
        const std::string why = NumberProblem(AtoiText(text), lo, hi, &n);
        if (!why.empty()) Note(key, text, value, why);
    }

    // A key of several texts: `value` is the index of the one it holds; any other text is
    // the first, and noted.
    void Choice(const char* key, const char* const* texts, int count, int& value) {
        const std::string text = _config.GetValue(key, texts[value]);
        for (int i = 0; i < count; ++i) {
            if (text == texts[i]) {
                value = i;
                return;
            }
        }
        value = 0;
        Note(key, text, 0, "none of " + ChoiceTexts(texts, count), texts[0]);
    }

    // One of the daemon's own numbers: a text that is not a number keeps the default, one
    // below `lo` becomes `below`, one above `hi` becomes `hi`.
    void Number(const char* key, int& value, int lo, int hi, int below) {
        const std::string text = _config.GetValue(key, "");
        if (text.empty()) return;
        long long n = 0;
        const std::string why = NumberProblem(text, lo, hi, &n);
        if (why.empty()) {
            value = static_cast<int>(n);
            return;
        }
        if (why != kNotANumber) value = n < lo ? below : hi;
        Note(key, text, value, why);
    }

private:
    void Note(const char* key, const std::string& text, int used, const std::string& why,
              const std::string& usedText = std::string()) {
        if (_notes) _notes->push_back({key, text, used, why, usedText});
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
    kChoice,  // the index of the text it holds among `texts`; any other is the first, noted
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
    const char* const* texts = nullptr;
    long long lo = 0;
    long long hi = 0;
    Below below = Below::kLowest;
    int (*top)(const Settings&) = nullptr;  // a range that ends where a key read before says
    // A text's form: why the value is not taken as meant ("" when it is); the daemon still
    // reads it as written and says so where it uses it.
    std::string (*form)(const std::string&) = nullptr;
    bool secret = false;  // a value never shown
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

// `texts`: a static array of `count`; `field` holds the index, its default the first's.
constexpr Key Choice(const char* name, SettingRead read, NumberField field,
                     const char* const* texts, int count) {
    Key k{name, read, Check::kChoice};
    k.number = field;
    k.texts = texts;
    k.hi = count;
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

constexpr Key Formed(Key k, std::string (*form)(const std::string&)) {
    k.form = form;
    return k;
}

std::string ListenProblem(const std::string& text) {
    std::string host;
    int port;
    return SplitListen(text, &host, &port) ? "" : "is not HOST:PORT with a port of 1 to 65535";
}

std::string UrlProblem(const std::string& text) {
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0
               ? ""
               : "is not an http:// or https:// URL";
}

constexpr Key Secret(Key k) {
    k.secret = true;
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

constexpr const char* kReplyConnections[] = {"per_reply", "per_worker", "pipelined"};

// Every key of mq.conf, in the order the reader takes them. A key whose name ends in "_file"
// names a file the daemon reads.
constexpr Key kKeys[] = {
    Text("server", kStartAndEachReply, FIELD(broker.server)),
    Text("queue", kStart, FIELD(queue)),
    Text("userName", kStartAndEachReply, FIELD(broker.userName)),
    Secret(Text("pwd", kStartAndEachReply, FIELD(broker.pwd))),
    Text("pwd_file", kStartAndEachReply, FIELD(pwd_file)),
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
    Number("cautious_start", kStart, FIELD(cautious_start), 0, INT_MAX),
    Choice("reply_connection", kEachReply, FIELD(reply_connection), kReplyConnections, 3),
    Number("reply_window", kEachReply, FIELD(reply_window), 1, 100000),
    Flag("reply_commit", kEachReply, FIELD(reply_confirm), "confirm", "tx"),
    Flag("plugin_cache", kEachMessage, FIELD(plugin_cache), "yes", "no"),
    Number("stop_timeout", kStart, FIELD(stop_timeout), 0, kMaxSeconds),
    Number("heartbeat", kStartAndEachReply, FIELD(heartbeat), 0, 3600),
    Number("reconnect_pause", kStart, FIELD(reconnect_pause), 1, 3600),
    Number("stats_interval", kStart, FIELD(stats_interval), 0, kMaxSeconds),
    Flag("log_params", kEachMessage, FIELD(log_params), "yes", "no"),
    Flag("reply_to", kEachMessage, FIELD(reply_to), "honour", "ignore"),
    Flag("log_trace", kEachMessage, FIELD(log_trace), "yes", "no"),
    Flag("honour_deadlines", kEachMessage, FIELD(honour_deadlines), "yes", "no"),
    Flag("isolation", kStart, FIELD(isolation_process), "process", "thread"),
    Number("call_timeout", kStart, FIELD(call_timeout), 0, kMaxSeconds),
    Number("max_calls_per_worker", kStart, FIELD(max_calls_per_worker), 0, INT_MAX),
    // 1 TiB: beyond any machine's memory, well within RLIMIT_AS.
    Number("worker_memory_mb", kStart, FIELD(worker_memory_mb), 0, 1 << 20),
    Flag("tls", kStartAndEachReply, FIELD(broker.tls.on), "yes", "no"),
    // Empty: the system's CA store.
    Text("tls_ca_file", kStartAndEachReply, FIELD(broker.tls.ca_file)),
    Text("tls_cert_file", kStartAndEachReply, FIELD(broker.tls.cert_file)),
    Text("tls_key_file", kStartAndEachReply, FIELD(broker.tls.key_file)),
    // Once, for every connection: an edit must not turn the check off under a running daemon.
    Flag("tls_verify", kStart, FIELD(broker.tls.verify), "yes", "no"),
    Formed(Text("metrics_listen", kStart, FIELD(metrics_listen)), ListenProblem),
    Flag("settings_reload", kStart, FIELD(settings_on_change), "on_change", "each_message"),
    Flag("log_file", kStart, FIELD(log_kept_open), "kept_open", "per_entry"),
    // Read once: the exporter and its connection live as long as the service.
    Formed(Text("otlp_endpoint", kStart, FIELD(otlp_endpoint)), UrlProblem),
    Text("otlp_service_name", kStart, FIELD(otlp_service_name)),
    Text("otlp_ca_file", kStart, FIELD(otlp_ca_file)),
};

#undef FIELD

void ReadKey(Reader& r, const Key& k, Settings& s) {
    switch (k.check) {
    case Check::kText:
        return r.Text(k.name, k.text(s));
    case Check::kFlag:
        return r.Flag(k.name, k.on, k.off, k.flag(s));
    case Check::kChoice:
        return r.Choice(k.name, k.texts, static_cast<int>(k.hi), k.number(s));
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
    case Check::kChoice:
        return k.texts[k.number(s)];
    case Check::kAtoi:
    case Check::kNumber:
        break;
    }
    return std::to_string(k.number(s));
}

// pwd_file's password in place of pwd's; a file that cannot be read leaves an empty password,
// so that the login fails rather than try a password that was not meant.
void ReadPwdFile(Settings& s, std::vector<SettingNote>* notes) {
    if (s.pwd_file.empty()) return;
    std::string why;
    if (ReadPasswordFile(s.pwd_file, &s.broker.pwd, &why)) return;
    s.broker.pwd.clear();
    if (notes)
        notes->push_back({"pwd_file", s.pwd_file, 0, "unreadable: " + why, "an empty password"});
}

const Key* FindKey(const std::string& name) {
    for (const Key& k : kKeys) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

// A text is kept as it stands, blanks and control characters included: why `text` is likely
// not meant so ("" when it looks meant). A password may well begin or end in a blank.
std::string TextProblem(const std::string& text, bool secret) {
    const std::string kept = ", which the daemon keeps";
    if (text.empty()) return "";
    if (text.back() == '\r') return "ends in a CR" + kept + " (CR LF line ends?)";
    if (std::any_of(text.begin(), text.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        return "holds a control character" + kept;
    }
    if (secret) return "";
    if (text.front() == ' ') return "begins with a blank" + kept;
    if (text.back() == ' ') return "ends in a blank" + kept;
    return "";
}

bool NamesFile(const std::string& key) {
    const std::string suffix = "_file";
    return key.size() > suffix.size() &&
           key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Why the daemon could not read the file `path` if it ran as this process's user ("" when
// it could): the postinst runs the check as the service's user.
std::string FileProblem(const std::string& path) {
    // systemd hands a credential over as it starts the service; until then it is not there.
    if (path.rfind("/run/credentials/", 0) == 0) return "";
    // Detached, and under systemd, the daemon runs from "/".
    const std::string file = path[0] == '/' ? path : "/" + path;
    if (access(file.c_str(), R_OK) == 0) return "";
    const int err = errno;
    passwd entry;
    passwd* found = nullptr;
    char names[1024];
    getpwuid_r(getuid(), &entry, names, sizeof names, &found);
    const std::string user = found ? found->pw_name : "uid " + std::to_string(getuid());
    return "cannot be read by " + user + " (" + strerror(err) + ")";
}

// Why the value `text` of `k` is not taken as meant ("" when it is); `s` as read, for a
// range that ends where another key says.
std::string ValueProblem(const Key& k, const std::string& text, const Settings& s) {
    long long n = 0;
    std::string why;
    switch (k.check) {
    case Check::kText:
        why = TextProblem(text, k.secret);
        if (why.empty() && NamesFile(k.name)) why = FileProblem(text);
        if (why.empty() && k.form) why = k.form(text);
        return why;
    case Check::kFlag:
        if (text == k.on || text == k.off) return "";
        return std::string("is neither \"") + k.on + "\" nor \"" + k.off + "\"";
    case Check::kChoice:
        for (int i = 0; i < k.hi; ++i) {
            if (text == k.texts[i]) return "";
        }
        return "is none of " + ChoiceTexts(k.texts, static_cast<int>(k.hi));
    case Check::kAtoi:
        why = NumberProblem(AtoiText(text), k.lo, k.hi, &n);
        return why.empty() ? why : "is " + why;
    case Check::kNumber:
        break;
    }
    why = NumberProblem(text, k.lo, k.top ? k.top(s) : k.hi, &n);
    return why.empty() ? why : "is " + why;
}

}  // namespace

Settings ReadSettings(const std::string& file, std::vector<SettingNote>* notes) {
    Reader r(file, notes);
    Settings s;
    for (const Key& k : kKeys) ReadKey(r, k, s);
    ReadPwdFile(s, notes);
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
    for (const Key& k : kKeys) keys.push_back({k.name, DefaultText(k), k.read, k.secret});
    return keys;
}

bool SplitListen(const std::string& text, std::string* host, int* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string name = text.substr(0, colon);
    const std::string number = text.substr(colon + 1);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    } else if (name.find_first_of(":[]") != std::string::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    long long n = 0;
    if (number.find_first_not_of("0123456789") != std::string::npos ||
        !NumberProblem(number, 1, 65535, &n).empty()) {
        return false;
    }
    *host = name;
    *port = static_cast<int>(n);
    return true;
}

bool SettingsFileOpens(const std::string& file, std::string* why) {
    const int fd = open(file.c_str(), O_RDWR);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

std::string SettingValueProblem(const std::string& key, const std::string& text,
                                const Settings& s) {
    const Key* k = FindKey(key);
    return k ? ValueProblem(*k, text, s) : "";
}
