// Entry of the service: read the command line (or only check the settings file), check what
// start-up needs while the caller can still be told (only when an option is given: run bare,
// the start-up is the plain daemon's, whose starter always returns 0), become a daemon, keep
// to one instance, start the workers, learn the queue name, read the settings, then serve
// until a stop.
#include <unistd.h>

#include "core/home.h"
#include "core/log.h"
#include "client/options.h"
#include "client/queue_lookup.h"
#include "client/service.h"
#include "client/stop.h"
#include "core/service_settings.h"
#include "client/threadpool.h"
#include "core/worker_main.h"
#include "dravik/tools.h"

int main(int argc, char** argv) {
    if (IsWorkerCommand(argc, argv)) return WorkerMain(argc, argv);
    StartOptions opts;
    const int early = ParseCommandLine(argc, argv, &opts);
    if (early != kStartService) return early;
    ApplyOptions(opts);
    if (opts.checkConfig) return CheckConfig();
    if (argc > 1 && !StartupPossible()) return 1;

    if (!opts.foreground) daemon(0, 0);
    BlockStopSignals();

    if (IsRunning(PidFile().c_str()) != 0) {
        LOG("one instance is running!!!");
        return 1;
    }
    // The pool's size is the one setting needed before the lookup may rewrite the file.
    if (tpool_init(ReadServiceSettings().workers) != 0) {
        LOG("failed to create the thread pool!!!");
        return 1;
    }

    // Before the settings are read, so that a name just stored is the one consumed.
    GetQueue();
    const Settings s = ReadServiceSettings();
    SetLogKeptOpen(s.log_kept_open);
    SetSettingsReload(s.settings_on_change);
    return RunService(s);
}
