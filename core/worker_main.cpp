// A plug-in worker: takes calls from its socket and runs each with the same path rule, load,
// lookup and catch-all as a call in the daemon. It dies with the thread that started it, asks
// for no new privileges, and keeps no descriptor of the daemon but its socket, which the
// programs its plug-ins run do not inherit.
#include "core/worker_main.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "core/home.h"
#include "core/log.h"
#include "core/plugin_call.h"
#include "core/worker_wire.h"
#include "dravik/tools.h"

namespace {

// Sanitizers reserve terabytes of address space for their shadow at start, so there the
// limit counts from the worker's size at start; elsewhere it is the whole address space.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

struct WorkerArgs {
    std::string home;
    pid_t parent = 0;
    long memoryMb = 0;
};

// "--worker --home DIR --parent PID --memory-mb N", as worker_pool writes it.
WorkerArgs ParseWorkerArgs(int argc, char** argv) {
    WorkerArgs a;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--home") a.home = argv[i + 1];
        if (name == "--parent") a.parent = static_cast<pid_t>(atol(argv[i + 1]));
        if (name == "--memory-mb") a.memoryMb = atol(argv[i + 1]);
    }
    return a;
}

// This process's address space now, in bytes (0 when unknown).
unsigned long long VmSizeBytes() {
    FILE* f = fopen("/proc/self/status", "re");
    if (!f) return 0;
    char line[256];
    unsigned long long kb = 0;
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmSize: %llu kB", &kb) == 1) break;
    }
    fclose(f);
    return kb * 1024;
}

void LimitMemory(long mb) {
    if (mb <= 0) return;
    const unsigned long long bytes =
        static_cast<unsigned long long>(mb) * 1024 * 1024 + (kSanitized ? VmSizeBytes() : 0);
    struct rlimit limit = {bytes, bytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        const std::string line =
            std::string("worker_memory_mb is not applied to a plug-in worker: setrlimit: ") +
            strerror(errno);
        LOG(line.c_str());
    }
}

}  // namespace

bool IsWorkerCommand(int argc, char** argv) {
    return argc > 1 && strcmp(argv[1], "--worker") == 0;
}

int WorkerMain(int argc, char** argv) {
    const WorkerArgs a = ParseWorkerArgs(argc, argv);
    // The daemon's thread may have ended before the death signal was set.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (a.parent <= 0 || getppid() != a.parent) return 1;
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    closefrom(kWorkerFd + 1);
    // A helper a plug-in leaves running would otherwise hold the socket open past the
    // worker's death, and could write into it.
    fcntl(kWorkerFd, F_SETFD, FD_CLOEXEC);
    if (!a.home.empty()) SetHome(a.home);
    LimitMemory(a.memoryMb);

    for (;;) {
        Frame frame;
        const FrameRead read = ReadFrame(kWorkerFd, FrameWait(), &frame);
        if (read != FrameRead::kRead) return read == FrameRead::kClosed ? 0 : 1;
        PluginCall call;
        if (!DecodeCall(frame.payload, &call)) return 1;
        const size_t limit = OutputLimit(call.strOut.size());
        const CallEnd end = InvokePlugin(call);
        if (call.strOut.size() > limit) call.strOut.resize(limit);
        if (!WriteFrame(kWorkerFd, frame.number, EncodeAnswer(end, call.strOut))) return 0;
    }
}
