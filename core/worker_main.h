// The plug-in worker process: `tolvane --worker ...`, started by the daemon only.
#ifndef TOLVANE_CORE_WORKER_MAIN_H
#define TOLVANE_CORE_WORKER_MAIN_H

// True when the command line asks for a worker.
bool IsWorkerCommand(int argc, char** argv);

// Serves calls on the socket at fd 3 until the daemon closes it; the process's exit status.
int WorkerMain(int argc, char** argv);

#endif
