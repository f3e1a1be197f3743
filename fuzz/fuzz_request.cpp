// A request body as the consumer hands it to a worker: a malloc'ed envelope whose body is an
// exact-size copy of the input, run and released by ProcMSG. Framing, call records, plug-in
// calls (libvorn.so, reached by "comtype=server") and the reply all run; the reply's broker
// is a loopback port that is bound but never listens, so its publish is refused at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include "client/MSGOperation.h"
#include "core/home.h"
#include "amqp/rabbit.h"
#include "scratch.h"

namespace {

std::string logFolder;

// A loopback port nobody accepts on for as long as the process lives: the socket holds it.
int ClosedPort() {
    int fd;
    return fuzz::LoopbackPort(false, &fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string home = fuzz::MakeHome("request");
    SetHome(home);
    logFolder = LogDir();
    fuzz::WriteText(MqConfPath(), "server=127.0.0.1\nport=" + std::to_string(ClosedPort()) +
                                      "\nqueue=fuzz.request\n");
    std::error_code ec;
    // A link, not a copy: the scratch folder may lie on a file system that forbids running code.
    std::filesystem::create_symlink(FUZZ_PLUGIN_VORN, home + "/lib/libvorn.so", ec);
    if (ec) fuzz::Die("linking " FUZZ_PLUGIN_VORN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* env = static_cast<amqp_envelope_t*>(calloc(1, sizeof(amqp_envelope_t)));
    if (env == nullptr) return 0;
    amqp_bytes_t src = {size, const_cast<uint8_t*>(data)};
    env->message.body = amqp_bytes_malloc_dup(src);
    ProcMSG(env);
    fuzz::TrimFolder(logFolder, 1000);
    return 0;
}
