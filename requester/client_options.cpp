// The client's options from mq.conf keys. A reader of its own rather than libtarrin's: that is
// the daemon's settings library, which a requester's host should not need, and the client only
// reads (the daemon's reader opens the file for writing too).
#include <fstream>
#include <limits>

#include "tolvane/client.h"

namespace tolvane {
namespace {

bool Number(const std::string& text, int lo, int hi, int* value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(text);
    if (n < lo || n > hi) return false;
    *value = n;
    return true;
}

bool Flag(const std::string& text, bool* value) {
    if (text != "yes" && text != "no") return false;
    *value = text == "yes";
    return true;
}

}  // namespace

bool Options::Set(const std::string& key, const std::string& value, std::string* error) {
    bool ok = true;
    if (key == "server") server = value;
    else if (key == "userName") userName = value;
    else if (key == "pwd") pwd = value;
    else if (key == "pwd_file") pwd_file = value;
    else if (key == "vhost") vhost = value;
    else if (key == "queue") queue = value;
    else if (key == "platform") platform = value;
    else if (key == "tls_ca_file") tls_ca_file = value;
    else if (key == "tls_cert_file") tls_cert_file = value;
    else if (key == "tls_key_file") tls_key_file = value;
    else if (key == "port") ok = Number(value, 1, 65535, &port);
    else if (key == "frame_max")
        ok = Number(value, 4096, std::numeric_limits<int>::max(), &frame_max);
    else if (key == "connect_timeout") ok = Number(value, 1, 3600, &connect_timeout);
    else if (key == "tls") ok = Flag(value, &tls);
    else if (key == "tls_verify") ok = Flag(value, &tls_verify);
    if (!ok) *error = key + "=\"" + value + "\" is out of its form";
    return ok;
}

bool ReadOptions(const std::string& path, Options* options, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        // An empty value leaves the default, as in the daemon.
        if (eq + 1 == line.size()) continue;
        if (!options->Set(line.substr(0, eq), line.substr(eq + 1), error)) {
            *error = path + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
    }
    return true;
}

}  // namespace tolvane
