// The one reader of the service's settings file.
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

}  // namespace

Settings ReadSettings(const std::string& file, std::vector<SettingNote>* notes) {
    Reader r(file, notes);
    Settings s;
    r.Text("server", s.broker.server);
    r.Text("queue", s.queue);
    r.Text("userName", s.broker.userName);
    r.Text("pwd", s.broker.pwd);
    r.Text("vhost", s.broker.vhost);
    r.Atoi("port", s.broker.port, 1, 65535);
    r.Atoi("frame_max", s.broker.frame_max, 4096, INT_MAX);  // AMQP's smallest frame
    r.Text("lookup_host", s.lookup_host);
    r.Number("workers", s.workers, 1, kMaxWorkers, s.workers);
    // The prefetch window intake_limit + workers must fit basic.qos's 16 bits.
    r.Number("intake_limit", s.intake_limit, 0, kMaxWindow - s.workers, 0);
    r.Flag("ack_mode", "after_reply", "on_take", s.ack_after_reply);
    r.Flag("reply_connection", "per_worker", "per_reply", s.reply_per_worker);
    r.Flag("plugin_cache", "yes", "no", s.plugin_cache);
    r.Number("stop_timeout", s.stop_timeout, 0, kMaxSeconds, 0);
    r.Number("heartbeat", s.heartbeat, 0, 3600, 0);
    r.Number("reconnect_pause", s.reconnect_pause, 1, 3600, 1);
    r.Number("stats_interval", s.stats_interval, 0, kMaxSeconds, 0);
    r.Flag("log_params", "yes", "no", s.log_params);
    r.Flag("reply_to", "honour", "ignore", s.reply_to);
    return s;
}
