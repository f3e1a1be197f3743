// libtvisolate.so: plug-ins that misbehave as foreign code does, for the isolation tests.
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
