// The service's settings: every key of cfg/mq.conf with its default, in one struct, and the
// one reader that fills it from one table of keys (client/settings.cpp: key, field, when it
// is read, how it is checked). A key that is absent or empty keeps its default. "port" and
// "frame_max" are read with atoi, so "12ab" is 12 and "ab" is 0; the other numbers keep their
// default when the text is not a number and are brought into their range when it is. Either
// way the reader notes what it found and what it used. Adding a key: its field here, its row
// in the table, its row in the README's settings table (a test holds the README and
// packaging/mq.conf.sample to the table).
#ifndef TOLVANE_CORE_SETTINGS_H
#define TOLVANE_CORE_SETTINGS_H

#include <string>
#include <vector>

#include "amqp/broker.h"

// The ways of reply_connection, in the order of its texts.
enum ReplyConnection { kPerReply = 0, kPerWorker = 1, kPipelined = 2 };

// A yes/no key holds its "on" text to be on; any other text leaves it off.
struct Settings {
    BrokerSettings broker;
    std::string queue;                      // the queue consumed
    std::string lookup_host = "127.0.0.1";  // "host" or "host:port" of the queue-name endpoint
    int workers = 10;                       // size of the worker pool, 1..kMaxWorkers
    // Deliveries held beyond the workers; 0: no_ack, no bound. The broker's prefetch window
    // counts in 16 bits, so intake_limit + workers stays within kMaxWindow.
    int intake_limit = 100;
    // Requests completed one at a time after an unclean end before the window widens; 0: off.
    int cautious_start = 100;
    bool ack_after_reply = false;      // ack_mode: "on_take" or "after_reply"
    int reply_connection = kPerReply;  // reply_connection: "per_reply", "per_worker", "pipelined"
    int reply_window = 1000;           // pipelined: the most replies handed over, not confirmed
    bool reply_confirm = false;        // reply_commit: "tx" or "confirm"
    bool plugin_cache = false;         // plugin_cache: "no" or "yes"
    int stop_timeout = 30;             // seconds a stop waits for the jobs held
    int heartbeat = 60;                // the consumer's AMQP heartbeat, seconds; 0: none
    int reconnect_pause = 10;          // seconds before a broken consumer is rebuilt
    int stats_interval = 0;            // seconds between counter lines; 0: none
    bool log_params = true;            // log_params: "yes" or "no"
    bool reply_to = false;             // reply_to: "ignore" or "honour"
    bool log_trace = false;            // log_trace: "no" or "yes"
    bool honour_deadlines = false;     // honour_deadlines: "no" or "yes"

    // Where plug-in calls run and their limits.
    bool isolation_process = false;  // isolation: "thread" or "process"
    int call_timeout = 0;            // seconds a plug-in call may run; 0: no limit
    int max_calls_per_worker = 0;    // calls before a worker process is replaced; 0: no limit
    int worker_memory_mb = 0;        // address space of a worker process, MiB; 0: no limit
    // When set, the login's password is this file's first line, and `pwd` is not used.
    std::string pwd_file;
    std::string metrics_listen;  // "HOST:PORT" of the metrics endpoint; empty: none

    // The lean path per message.
    bool settings_on_change = false;  // settings_reload: "each_message" or "on_change"
    bool log_kept_open = false;       // log_file: "per_entry" or "kept_open"

    // Spans to an OpenTelemetry collector over OTLP/HTTP; an empty endpoint: none.
    std::string otlp_endpoint;  // "http://HOST:PORT" or "https://...", without /v1/traces
    std::string otlp_service_name = "tolvane";
    std::string otlp_ca_file;  // empty: the system's CA store
};

const int kMaxWorkers = 1000;
const int kMaxWindow = 65535;

// A number the reader could not take as written: the key, the text found, the value used
// instead and why ("not a number", "out of range LO..HI"). A key that is no number (a file
// that cannot be read) says what it used in `usedText` instead.
struct SettingNote {
    std::string key;
    std::string text;
    int used;
    std::string why;
    std::string usedText;
};

// Reads the settings file `file`; a missing or unreadable file gives the defaults. With
// `notes`, appends a note for every numeric value not taken as written. Logs nothing.
Settings ReadSettings(const std::string& file, std::vector<SettingNote>* notes = nullptr);

// The reader opens `file` for reading and writing and takes one it cannot open so as empty
// (every default): false, with the system's reason in `why`, for such a file.
bool SettingsFileOpens(const std::string& file, std::string* why);

// When a key's value takes effect: read once at start, or again for every message or every
// reply (a change then needs no restart).
enum class SettingRead { kStart, kEachMessage, kEachReply, kStartAndEachReply };

// "start", "each message", "each reply" or "start, each reply", as the README says it.
const char* SettingReadText(SettingRead read);

// A key as the reader's table declares it; `value` is the default as the file would hold it
// ("on_take" for ack_mode, "" for queue).
struct SettingKey {
    std::string key;
    std::string value;
    SettingRead read;
    bool secret = false;  // its value is never shown (pwd)
};

// Every key the reader takes, in the order it reads them.
std::vector<SettingKey> SettingKeys();

// "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every IPv4 address) split into its host, without
// brackets, and a port of 1 to 65535; false when it is not of that form.
bool SplitListen(const std::string& text, std::string* host, int* port);

// Why the reader would not take `text` as the value of `key` as meant ("" when it would, and
// for a key it does not know); `s` as read, for a range that ends where another key says. A
// text is kept as it stands, so blanks around it or a control character in it are named (a
// password's blanks excepted), and so is a file a "_file" key names that this process's
// user cannot read; a number atoi reads is fine with blanks or a CR after it.
std::string SettingValueProblem(const std::string& key, const std::string& text, const Settings& s);

#endif
