// tolvane-call: sends one request to the service and prints the text of its reply.
//   tolvane-call [options] key=value... [-- key=value...]...
// Each "--"-separated group of key=value items is one call record ("comtype", "nfunc", ...).
// With --local the records run in this process, as the daemon runs them, without a broker.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "amqp/wire.h"
#include "core/settings.h"
#include "core/worker_main.h"
#include "paths.h"
#include "plugin.h"
#include "requester/call_client.h"
#include "tolvane/client.h"
#include "tools/local_call.h"

namespace {

// kCallFailed: the reply's text does not begin with "10000:", the mark a call succeeded by.
enum ExitCode { kReplied = 0, kBrokerError = 1, kUsage = 2, kTimedOut = 3, kCallFailed = 4 };

const char kUsageText[] =
    "usage: tolvane-call [options] key=value... [-- key=value...]...\n"
    "  Sends one request whose call records are the \"--\"-separated groups of key=value\n"
    "  items (each names \"comtype\" and \"nfunc\") and prints the text of the reply.\n"
    "options (--name value or --name=value):\n"
    "  --queue NAME       the service's queue (required without --local)\n"
    "  --platform NAME    reply exchange and routing key (default tolvane-call)\n"
    "  --server HOST      broker host (default 127.0.0.1)\n"
    "  --port N           broker port (default 5672)\n"
    "  --user NAME        broker user (default guest)\n"
    "  --password TEXT    broker password (default quilb)\n"
    "  --password-file FILE  the password is this file's first line\n"
    "  --vhost NAME       broker virtual host (default /)\n"
    "  --tls              TLS to the broker (give --port its TLS port, usually 5671)\n"
    "  --tls-ca FILE      CA certificates that verify the broker (default: the system's)\n"
    "  --tls-cert FILE    client certificate (PEM), for a broker that asks for one\n"
    "  --tls-key FILE     its key (PEM; default: in the certificate file)\n"
    "  --no-tls-verify    do not check the broker's certificate and host name\n"
    "  --timeout SECONDS  how long to wait for the reply (default 10)\n"
    "  --guid TEXT        request identifier (default: generated)\n"
    "  --declare-queue    create the service's queue (durable) if missing; with no\n"
    "                     call records, only that\n"
    "  --quorum           with --declare-queue: a quorum queue (x-queue-type=quorum),\n"
    "                     replicated on the nodes of a cluster\n"
    "  --delivery-limit N with --quorum: a request delivered more than N times (a\n"
    "                     request that crashes the service, say) is dead-lettered\n"
    "  --dead-letter-exchange NAME  with --declare-queue: where such requests go\n"
    "  --config FILE      take server, port, user, password (or pwd_file), vhost, queue\n"
    "                     and the tls settings from a settings file like the service's\n"
    "                     mq.conf; options given win\n"
    "  --local            run the call records here, as the service would, without a\n"
    "                     broker: plug-ins from the home's lib/, log lines on stderr\n"
    "  --home DIR         with --local: the service's home (default " TOLVANE_HOME
    ")\n"
    "  --version          print the version\n"
    "exit status: 0 reply printed, 1 broker error, 2 usage error, 3 no reply in time,\n"
    "  4 reply printed but it does not begin with \"10000:\" (the call failed)\n";

struct Options {
    BrokerOptions broker;
    std::string queue;
    std::string platform = "tolvane-call";
    std::string guid;
    int timeout_s = 10;
    bool declareQueue = false;
    QueueKind kind;
    bool local = false;
    std::string home;
    std::string config;
    std::vector<std::vector<std::string>> records;
};

// The settings --config takes, as the options of the same meaning; an empty value sets nothing.
struct ConfigOption {
    const char* option;
    std::string (*value)(const Settings&);
};
const ConfigOption kConfigOptions[] = {
    {"server", [](const Settings& s) { return s.broker.server; }},
    {"port", [](const Settings& s) { return std::to_string(s.broker.port); }},
    {"user", [](const Settings& s) { return s.broker.userName; }},
    {"password", [](const Settings& s) { return s.broker.pwd; }},  // pwd_file's when set
    {"vhost", [](const Settings& s) { return s.broker.vhost; }},
    {"queue", [](const Settings& s) { return s.queue; }},
    {"tls", [](const Settings& s) { return std::string(s.broker.tls.on ? "yes" : "no"); }},
    {"tls-ca", [](const Settings& s) { return s.broker.tls.ca_file; }},
    {"tls-cert", [](const Settings& s) { return s.broker.tls.cert_file; }},
    {"tls-key", [](const Settings& s) { return s.broker.tls.key_file; }},
    {"tls-verify",
     [](const Settings& s) { return std::string(s.broker.tls.verify ? "yes" : "no"); }},
};

int Fail(int code, const std::string& text) {
    fprintf(stderr, "tolvane-call: %s\n", text.c_str());
    if (code == kUsage) fputs(kUsageText, stderr);
    return code;
}

// At most nine digits, so that atoi cannot overflow.
bool IsNumber(const std::string& s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool IsYesNo(const std::string& s) {
    return s == "yes" || s == "no";
}

bool ReadPassword(Options& o, const std::string& file, std::string* error) {
    std::string why;
    if (ReadPasswordFile(file, &o.broker.pwd, &why)) return true;
    *error = "--password-file " + file + ": " + why;
    return false;
}

// Sets one option; false with `error` for an unknown name or a bad value.
bool SetOption(Options& o, const std::string& name, const std::string& value, std::string* error) {
    if (name == "queue") o.queue = value;
    else if (name == "platform") o.platform = value;
    else if (name == "server") o.broker.server = value;
    else if (name == "user") o.broker.userName = value;
    else if (name == "password") o.broker.pwd = value;
    else if (name == "vhost") o.broker.vhost = value;
    else if (name == "tls" && IsYesNo(value)) o.broker.tls.on = value == "yes";
    else if (name == "tls-verify" && IsYesNo(value)) o.broker.tls.verify = value == "yes";
    else if (name == "tls-ca") o.broker.tls.ca_file = value;
    else if (name == "tls-cert") o.broker.tls.cert_file = value;
    else if (name == "tls-key") o.broker.tls.key_file = value;
    else if (name == "password-file") return ReadPassword(o, value, error);
    else if (name == "guid") o.guid = value;
    else if (name == "home" && !value.empty()) o.home = value;
    else if (name == "port" && IsNumber(value)) o.broker.port = atoi(value.c_str());
    else if (name == "timeout" && IsNumber(value)) o.timeout_s = atoi(value.c_str());
    else if (name == "delivery-limit" && IsNumber(value))
        o.kind.deliveryLimit = atoi(value.c_str());
    else if (name == "dead-letter-exchange" && !value.empty()) o.kind.deadLetterExchange = value;
    else {
        *error = "bad option --" + name + (value.empty() ? "" : " " + value);
        return false;
    }
    return true;
}

// Reads `file` with the service's own reader, into the options of kConfigOptions; a file the
// reader would take as empty is refused.
bool ApplyConfig(Options& o, const std::string& file, std::string* error) {
    std::string why;
    if (!SettingsFileOpens(file, &why)) {
        *error = "--config " + file + " must open for reading and writing: " + why;
        return false;
    }
    std::vector<SettingNote> notes;
    const Settings s = ReadSettings(file, &notes);
    // Its password left empty would send the built-in default instead of failing.
    for (const SettingNote& n : notes) {
        if (n.key != "pwd_file") continue;
        *error = "--config " + file + ": pwd_file " + n.text + " " + n.why;
        return false;
    }
    for (const ConfigOption& c : kConfigOptions) {
        const std::string value = c.value(s);
        if (!value.empty() && !SetOption(o, c.option, value, error)) {
            *error = "--config " + file + ": " + *error;
            return false;
        }
    }
    return true;
}

// The options after --config's, so the command line wins wherever it stands.
bool SetOptions(Options& o, const std::vector<std::pair<std::string, std::string>>& given,
                std::string* error) {
    if (!o.config.empty() && !ApplyConfig(o, o.config, error)) return false;
    for (const auto& g : given) {
        if (!SetOption(o, g.first, g.second, error)) return false;
    }
    return true;
}

bool CheckCombination(const Options& o, std::string* error) {
    if (o.local && o.declareQueue) *error = "--declare-queue needs a broker, not --local";
    else if (o.queue.empty() && !o.local) *error = "--queue is required";
    else if ((o.kind.quorum || !o.kind.deadLetterExchange.empty()) && !o.declareQueue)
        *error = "--quorum and --dead-letter-exchange go with --declare-queue";
    else if (o.kind.deliveryLimit > 0 && !o.kind.quorum)
        *error = "--delivery-limit goes with --quorum";
    else if (!o.home.empty() && !o.local) *error = "--home goes with --local";
    return error->empty();
}

bool ParseArgs(int argc, char** argv, Options& o, std::string* error) {
    std::vector<std::pair<std::string, std::string>> given;
    o.records.emplace_back();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            o.records.emplace_back();
        } else if (arg == "--declare-queue") {
            o.declareQueue = true;
        } else if (arg == "--quorum") {
            o.kind.quorum = true;
        } else if (arg == "--local") {
            o.local = true;
        } else if (arg == "--tls") {
            given.emplace_back("tls", "yes");
        } else if (arg == "--no-tls-verify") {
            given.emplace_back("tls-verify", "no");
        } else if (arg == "--help" || arg == "-h" || arg == "--version") {
            *error = arg;
            return false;
        } else if (arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2), value;
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            if (name == "config" && !value.empty()) o.config = value;
            else given.emplace_back(name, value);
        } else if (arg.find('=') == std::string::npos || arg.find("\r\n") != std::string::npos) {
            *error = "\"" + arg + "\" is not a key=value item";
            return false;
        } else {
            o.records.back().push_back(arg);
        }
    }
    for (const auto& r : o.records) {
        if (r.empty() && !(o.declareQueue && o.records.size() == 1)) {
            *error = "every call record needs at least one key=value item";
            return false;
        }
    }
    if (o.records.size() == 1 && o.records[0].empty()) o.records.clear();
    return SetOptions(o, given, error) && CheckCombination(o, error);
}

// Prints the reply's text; its status says whether the call succeeded.
int Print(const std::string& text) {
    printf("%s\n", text.c_str());
    return BeginsWithGoOn(text) ? kReplied : kCallFailed;
}

// The call itself, through the requesters' library.
int CallService(const Options& o, const std::string& guid) {
    tolvane::Options options;
    options.server = o.broker.server;
    options.port = o.broker.port;
    options.userName = o.broker.userName;
    options.pwd = o.broker.pwd;
    options.vhost = o.broker.vhost;
    options.tls = o.broker.tls.on;
    options.tls_ca_file = o.broker.tls.ca_file;
    options.tls_cert_file = o.broker.tls.cert_file;
    options.tls_key_file = o.broker.tls.key_file;
    options.tls_verify = o.broker.tls.verify;
    options.queue = o.queue;
    options.platform = o.platform;
    options.connect_timeout = std::clamp(o.timeout_s, 1, 3600);
    std::vector<tolvane::Record> records;
    for (const auto& items : o.records) {
        records.emplace_back();
        for (const std::string& item : items) {
            const size_t eq = item.find('=');
            records.back().emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
    }
    tolvane::Client client(options);
    const tolvane::Result r = client.Call(records, std::chrono::seconds(o.timeout_s), guid);
    switch (r.failure) {
    case tolvane::Failure::kNone:
        return Print(r.reply.text);
    case tolvane::Failure::kTimeout:
        return Fail(kTimedOut,
                    "no reply to request " + guid + " within " + std::to_string(o.timeout_s) +
                        " s (is the service running and consuming queue \"" + o.queue + "\"?)");
    case tolvane::Failure::kBadArgument:
        return Fail(kUsage, r.error);
    default:
        return Fail(kBrokerError, r.error);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --local under isolation=process starts this program again as its plug-in worker.
    if (IsWorkerCommand(argc, argv)) return WorkerMain(argc, argv);
    Options o;
    std::string error;
    if (!ParseArgs(argc, argv, o, &error)) {
        if (error == "--version") {
            printf("tolvane-call %s\n", TOLVANE_VERSION);
            return kReplied;
        }
        if (error == "--help" || error == "-h") {
            fputs(kUsageText, stdout);
            return kReplied;
        }
        return Fail(kUsage, error);
    }

    const std::string guid = o.guid.empty() ? NewGuid() : o.guid;
    std::vector<std::string> texts;
    for (const auto& r : o.records) texts.push_back(ParamText(r));
    std::string body;
    if (!o.records.empty() && !BuildRequest(guid, o.platform, texts, &body, &error)) {
        return Fail(kUsage, error);
    }
    if (o.local) {
        std::string output;
        RunLocally(o.home, body, static_cast<int>(o.records.size()), &output);
        return Print(output);
    }

    CallClient client(o.broker);
    // librabbitmq counts its time limits in int milliseconds.
    if (!client.Connect(std::clamp(o.timeout_s, 1, INT_MAX / 1000))) {
        return Fail(kBrokerError, client.Error());
    }
    bool queueReady =
        o.declareQueue ? client.DeclareQueue(o.queue, o.kind) : client.CheckQueue(o.queue);
    if (!queueReady) return Fail(kBrokerError, client.Error());
    if (o.records.empty()) return kReplied;

    return CallService(o, guid);
}
