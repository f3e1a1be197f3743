// The start-up queue-name lookup, end to end through libcurl: GetQueue asks an endpoint on
// loopback that answers with what the fuzzer chose (the first byte picks the status, the rest
// is the body), and the settings file is read back. Stored must be exactly a 2xx body of at
// most 4096 bytes that, read up to its first NUL and without one trailing line break, is one
// non-empty line holding no "="; whatever the answer, every other setting stays as it was.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/home.h"
#include "client/queue_lookup.h"
#include "core/settings.h"
#include "scratch.h"

namespace {

const int kStatuses[] = {200, 201, 299, 300, 302, 404, 500};
const size_t kMaxBody = 4096;
const char kBefore[] = "fuzz.before";

std::mutex nextAnswerLock;
std::string nextAnswer;  // the whole HTTP answer of the next request
std::string baseConf;
Settings baseSettings;  // baseConf as read

// Reads the request up to its blank line (the body is empty), answers, closes gracefully so
// that the answer is never cut by a reset.
void Serve(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, size_t(n));
    }
    std::string answer;
    {
        std::lock_guard<std::mutex> hold(nextAnswerLock);
        answer = nextAnswer;
    }
    for (size_t at = 0; at < answer.size();) {
        ssize_t n = write(fd, answer.data() + at, answer.size() - at);
        if (n <= 0) break;
        at += size_t(n);
    }
    shutdown(fd, SHUT_WR);
    while (read(fd, buf, sizeof buf) > 0) {}
    close(fd);
}

// Starts the endpoint on a free loopback port for the life of the process; returns the port.
int StartEndpoint() {
    int fd;
    const int port = fuzz::LoopbackPort(true, &fd);
    std::thread([fd] {
        for (;;) {
            int conn = accept(fd, nullptr, nullptr);
            if (conn >= 0) Serve(conn);
        }
    }).detach();
    return port;
}

}  // namespace

// Libdravik's WriteFile takes a backup named by a stamp it holds for a whole second, which
// would allow one lookup a second. This program's copy, which libtarrin binds to because the
// program exports it, writes the same text without the backup.
bool WriteFile(std::vector<std::string>* vt_conf, const char* fileName) {
    std::string text;
    for (const std::string& line : *vt_conf)
        if (line != "\n") text += line;
    fuzz::WriteText(fileName, text);
    return true;
}

namespace {

bool ExpectStored(int status, const std::string& body, std::string* name) {
    *name = body.c_str();
    if (!name->empty() && name->back() == '\n') name->pop_back();
    return status >= 200 && status <= 299 && body.size() <= kMaxBody && !name->empty() &&
           name->find_first_of("\n=") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetHome(fuzz::MakeHome("lookup"));
    baseConf = "server=127.0.0.1\nport=5672\nqueue=" + std::string(kBefore) +
               "\nlookup_host=127.0.0.1:" + std::to_string(StartEndpoint()) +
               "\nvhost=/fuzz\nuserName=fuzz\n";
    fuzz::WriteText(MqConfPath(), baseConf);
    baseSettings = ReadSettings(MqConfPath());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int status = kStatuses[data[0] % (sizeof kStatuses / sizeof kStatuses[0])];
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    {
        std::lock_guard<std::mutex> hold(nextAnswerLock);
        nextAnswer = "HTTP/1.1 " + std::to_string(status) +
                     " Fuzz\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body;
    }
    fuzz::WriteText(MqConfPath(), baseConf);

    GetQueue();

    const Settings after = ReadSettings(MqConfPath());
    std::string name;
    const std::string expected = ExpectStored(status, body, &name) ? name : kBefore;
    if (after.queue != expected) {
        fprintf(stderr, "status %d: stored \"%s\", expected \"%s\"\n", status, after.queue.c_str(),
                expected.c_str());
        abort();
    }
    if (after.broker.server != baseSettings.broker.server ||
        after.broker.port != baseSettings.broker.port ||
        after.broker.vhost != baseSettings.broker.vhost ||
        after.broker.userName != baseSettings.broker.userName ||
        after.lookup_host != baseSettings.lookup_host) {
        fprintf(stderr, "status %d: the answer changed other settings\n", status);
        abort();
    }
    return 0;
}
