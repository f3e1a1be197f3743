// The daemon's command line and its checks before start: once detached, the daemon can only
// write its log, so what makes start-up impossible is said here, on stderr, with status 1.
#include "client/options.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "client/settings_check.h"
#include "core/home.h"
#include "core/log.h"
#include "core/settings.h"
#include "paths.h"

namespace {

const int kUsageError = 2;

const char kUsage[] =
    "usage: tolvane [--foreground] [--home DIR] [--pid-file FILE]\n"
    "       tolvane --check-config [--home DIR]\n"
    "       tolvane --help | --version\n";

const char kHelp[] =
    "  Serves remote function calls arriving through RabbitMQ; detaches as a daemon.\n"
    "options (--name value or --name=value):\n"
    "  --foreground     stay attached; every log line is also written to stderr\n"
    "  --home DIR       settings (cfg/mq.conf), plug-ins (lib/) and logs (log/) under DIR\n"
    "                   (default " TOLVANE_HOME
    ")\n"
    "  --pid-file FILE  the single-instance pid file (default " TOLVANE_PID_FILE
    ")\n"
    "  --check-config   check DIR/cfg/mq.conf as the daemon reads it: every line that is not\n"
    "                   a setting, every unknown key and bad value as mq.conf:LINE: reason\n"
    "                   (exit 1), else one line (exit 0); starts nothing\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "exit status: 0 started (or help shown, or settings fine), 1 cannot start (or settings\n"
    "             with problems), 2 usage error\n";

int Refuse(const std::string& why) {
    fprintf(stderr, "tolvane: %s\n%s", why.c_str(), kUsage);
    return kUsageError;
}

std::string Absolute(const std::string& path) {
    if (path[0] == '/') return path;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

// "--name" of "--name=value".
std::string Name(const std::string& arg) {
    return arg.substr(0, arg.find('='));
}

// The value after "=", or else the next argument; false when it is missing or empty.
bool OptionValue(const std::string& arg, int argc, char** argv, int* i, std::string* value) {
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        *value = arg.substr(eq + 1);
    } else if (*i + 1 < argc) {
        *value = argv[++*i];
    } else {
        return false;
    }
    return !value->empty();
}

bool Fail(const std::string& what, const std::string& path, int err) {
    fprintf(stderr, "tolvane: %s %s: %s\n", what.c_str(), path.c_str(), strerror(err));
    return false;
}

// mkdir -p; 0, or the errno of the step that failed.
int MakeDirs(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) break;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool LogFolderWritable() {
    const std::string dir = LogDir();
    int err = MakeDirs(dir);
    if (err == 0 && access(dir.c_str(), W_OK | X_OK) != 0) err = errno;
    return err == 0 || Fail("cannot write the log folder", dir, err);
}

// A missing file is fine (every key keeps its default). An existing one must open for
// reading and writing, as the settings reader opens it: one it cannot open that way would
// be passed over without a word, and the daemon would run on every default.
bool SettingsUsable() {
    const std::string file = MqConfPath();
    int fd = open(file.c_str(), O_RDWR);
    if (fd < 0 && errno == ENOENT) return true;
    if (fd < 0) {
        fprintf(stderr,
                "tolvane: the settings file %s must open for reading and writing, or "
                "every setting in it is ignored: %s\n",
                file.c_str(), strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

// The same open as the single-instance guard's; the lock itself is taken after detaching.
bool PidFileWritable() {
    int fd = open(PidFile().c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return Fail("cannot create the pid file", PidFile(), errno);
    close(fd);
    return true;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, StartOptions* opts) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            printf("%s%s", kUsage, kHelp);
            return 0;
        } else if (arg == "--version") {
            printf("tolvane %s\n", TOLVANE_VERSION);
            return 0;
        } else if (arg == "--check-config") {
            opts->checkConfig = true;
        } else if (arg == "--foreground") {
            opts->foreground = true;
        } else if (Name(arg) == "--home" || Name(arg) == "--pid-file") {
            std::string value;
            if (!OptionValue(arg, argc, argv, &i, &value)) {
                return Refuse(Name(arg) + " needs a path");
            }
            (Name(arg) == "--home" ? opts->home : opts->pidFile) = Absolute(value);
        } else {
            return Refuse("unknown argument \"" + arg + "\"");
        }
    }
    return kStartService;
}

void ApplyOptions(const StartOptions& opts) {
    if (!opts.home.empty()) SetHome(opts.home);
    if (!opts.pidFile.empty()) SetPidFile(opts.pidFile);
    SetLogEcho(opts.foreground);
}

bool StartupPossible() {
    // The pid file last: it is only created when nothing else stands in the way.
    return LogFolderWritable() && SettingsUsable() && PidFileWritable();
}

int CheckConfig() {
    const SettingsCheck check = CheckSettingsFile(MqConfPath());
    for (const std::string& problem : check.problems) fprintf(stderr, "%s\n", problem.c_str());
    if (!check.problems.empty()) return 1;
    printf("%s: %d settings, every one taken as written\n", MqConfPath().c_str(), check.settings);
    return 0;
}
