// Scratch folders and files shared by the fuzz targets. Each target runs against a home of
// its own under $TOLVANE_FUZZ_SCRATCH, or else FUZZ_SCRATCH_DIR (a build folder), never the
// service's installed paths. scripts/fuzz.sh points the variable at a memory file system:
// on a disk, every rewrite of a file waits for the old blocks to be flushed or discarded.
#ifndef TOLVANE_FUZZ_SCRATCH_H
#define TOLVANE_FUZZ_SCRATCH_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

// Ends the run at once: a broken set-up must not pass for a clean fuzz run.
[[noreturn]] inline void Die(const std::string& what) {
    fprintf(stderr, "fuzz set-up failed: %s\n", what.c_str());
    abort();
}

// A fresh folder "<scratch>/<name>-XXXXXX" with cfg/, lib/ and log/ inside.
inline std::string MakeHome(const std::string& name) {
    const char* env = getenv("TOLVANE_FUZZ_SCRATCH");
    const std::string base = env && *env ? env : FUZZ_SCRATCH_DIR;
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    std::string tmpl = base + "/" + name + "-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) Die("mkdtemp " + tmpl);
    for (const char* sub : {"cfg", "lib", "log"})
        if (!std::filesystem::create_directories(tmpl + "/" + sub, ec)) Die(tmpl + "/" + sub);
    return tmpl;
}

inline void WriteText(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Die("write " + file);
}

// Empties `dir` every `every` calls, so a long run's logs do not fill the disk.
inline void TrimFolder(const std::string& dir, unsigned every) {
    static unsigned calls = 0;
    if (++calls % every != 0) return;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

// A TCP socket bound to a free loopback port (listening when asked), kept for the life of the
// process; returns the port and, through *fd, the socket.
inline int LoopbackPort(bool listening, int* fd) {
    *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        (listening && listen(*fd, 16) != 0) ||
        getsockname(*fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        Die("binding a loopback port");
    return ntohs(addr.sin_port);
}

}  // namespace fuzz

#endif
