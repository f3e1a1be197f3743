// Small helpers shared by the test programs: scratch folders, whole-file I/O, commands.
#ifndef TOLVANE_TEST_TESTUTIL_H
#define TOLVANE_TEST_TESTUTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace testutil {

// A fresh folder under the build tree, removed with everything in it at scope end.
class TempDir {
public:
    TempDir() {
        std::string base = std::string(TEST_BINARY_DIR) + "/tmp";
        ::mkdir(base.c_str(), 0777);
        std::string tmpl = base + "/t-XXXXXX";
        char* made = mkdtemp(&tmpl[0]);
        _path = made ? made : "";
    }
    ~TempDir() {
        if (!_path.empty()) Run("chmod -R u+rwx '" + _path + "' && rm -rf '" + _path + "'");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

    // Runs a shell command; returns its exit status, or -1 when it did not exit normally.
    static int Run(const std::string& cmd) {
        int st = system(cmd.c_str());
        return (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    }

private:
    std::string _path;
};

inline std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool WriteAll(const std::string& file, const std::string& data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

inline bool Exists(const std::string& file) {
    return access(file.c_str(), F_OK) == 0;
}

// Runs a shell command and returns what it printed on standard output.
inline std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace testutil

#endif
