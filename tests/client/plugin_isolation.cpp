// libtvisolate.so: plug-ins that misbehave as foreign code does, for the isolation tests.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "plugin.h"

// Writes through a null pointer.
TOLVANE_PLUGIN(crash) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// Ends the process at once, as a failed assertion does.
TOLVANE_PLUGIN(aborts) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    std::abort();
}

// Answers "10000:<pid>" of the process it runs in.
TOLVANE_PLUGIN(pid) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = "10000:" + std::to_string(getpid());
}

// Takes a gigabyte and touches every page of it.
TOLVANE_PLUGIN(gigabyte) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    std::vector<char> big(size_t(1) << 30, 1);
    strOut = "10000:allocated " + std::to_string(big.size());
}

// Leaves a forked child (no exec: it keeps every descriptor) asleep for a minute; answers
// "10000:<child's pid>".
TOLVANE_PLUGIN(fork_child) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    const pid_t kid = fork();
    if (kid == 0) {
        sleep(60);
        _exit(0);
    }
    strOut = "10000:" + std::to_string(kid);
}

// Starts a program in the background through the shell, as system("helper &") does;
// answers "10000:<its pid>".
TOLVANE_PLUGIN(helper) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    FILE* shell = popen("sleep 60 >/dev/null 2>&1 & echo $!", "r");
    char line[32] = "";
    if (shell && !fgets(line, sizeof line, shell)) line[0] = '\0';
    if (shell) pclose(shell);
    strOut = "10000:" + std::to_string(atoi(line));
}

// Writes two bytes onto the worker's socket, from the worker itself.
TOLVANE_PLUGIN(scribble) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = write(3, "hi", 2) == 2 ? "10000:scribbled" : "10000:not written";
}

// Lets a program it runs write onto the worker's socket, if that program has it.
TOLVANE_PLUGIN(shell_fd3) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = system("printf hi >&3 2>/dev/null") == 0 ? "10000:written" : "10000:not written";
}

// Writes a whole answer onto the worker's socket as an unnumbered wire would frame it: its
// length, then how the call ended and the output's length and bytes.
TOLVANE_PLUGIN(stray) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    const std::string text = "10000:stray";
    const uint32_t fields[] = {uint32_t(8 + text.size()), 0, uint32_t(text.size())};
    std::string frame(reinterpret_cast<const char*>(fields), sizeof fields);
    frame += text;
    const bool written = write(3, frame.data(), frame.size()) == ssize_t(frame.size());
    strOut = written ? "10000:stray answered" : "10000:not written";
}

// Ends the process it runs in.
TOLVANE_PLUGIN(exit3) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    exit(3);
}

// "10000:group=own|shared blocked=<SigBlk> ignored=<SigIgn>" of the process it runs in.
TOLVANE_PLUGIN(signals) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    std::string blocked = "?", ignored = "?";
    FILE* status = fopen("/proc/self/status", "re");
    char line[256];
    while (status && fgets(line, sizeof line, status)) {
        char mask[64];
        if (sscanf(line, "SigBlk: %63s", mask) == 1) blocked = mask;
        if (sscanf(line, "SigIgn: %63s", mask) == 1) ignored = mask;
    }
    if (status) fclose(status);
    strOut = std::string("10000:group=") + (getpgrp() == getpid() ? "own" : "shared") +
             " blocked=" + blocked + " ignored=" + ignored;
}
